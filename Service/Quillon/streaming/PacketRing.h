// What the capture and render devices do alike with their rings of packets: every packet holds an
// OVERLAPPED whose event the stream thread waits on.
#pragma once

#include "platform/win32.h"

namespace PacketRing {

// How many distinct events the ring's packets carry (0 without a ring or without events).
template <typename Packet>
ULONG CountEvents(const Packet* packets, ULONG count) {
    if (!packets || count == 0 || !packets[0].m_Overlapped.hEvent) return 0;
    ULONG events = 1;
    for (ULONG i = 1; i < count; ++i)
        if (packets[i].m_Overlapped.hEvent != packets[0].m_Overlapped.hEvent) ++events;
    return events;
}

template <typename Packet>
ULONG CollectEvents(const Packet* packets, ULONG count, HANDLE* handles, ULONG capacity) {
    ULONG n = 0;
    for (ULONG i = 0; i < count && n < capacity; ++i) handles[n++] = packets[i].m_Overlapped.hEvent;
    return n;
}

// Standard mode: each packet's own event, once its request has had up to 20 ms to come back. A packet
// with no request outstanding (never queued, already taken back, or refused at once, as every request is
// once the console has gone) has nothing to wait for: its event would never be signalled.
template <typename Packet>
void CloseEvents(Packet* packets, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
        HANDLE& event = packets[i].m_Overlapped.hEvent;
        if (event && event != INVALID_HANDLE_VALUE) {
            if (packets[i].m_bSubmitted) WaitForSingleObject(event, 20);
            CloseHandle(event);
        }
        event = nullptr;
    }
}

}  // namespace PacketRing
