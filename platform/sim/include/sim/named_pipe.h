// Named pipes, as far as the conformance suite needs them to show overlapped I/O on both machines.
//
// CreateNamedPipeW makes an instance whose server end is a device file (devices.h), so that ReadFile,
// WriteFile, DeviceIoControl, GetOverlappedResult and CancelIo behave on it exactly as on the console's
// devices; CreateFileW on "\\.\pipe\name" (case-insensitive) opens the client end of an instance no client
// holds yet. Modelled, as Windows documents them:
// - byte-type pipes read in byte mode; a read takes what is waiting, up to its size, or waits for a write;
// - a write never waits (the buffer sizes CreateNamedPipeW is given are advisory, so the buffer is taken
//   as large enough for anything written);
// - ConnectNamedPipe waits for a client, answers ERROR_PIPE_CONNECTED when one is connected already and
//   ERROR_NO_DATA when it has come and gone;
// - a read of a server end no client has opened yet fails with ERROR_PIPE_LISTENING, a read that finds the
//   other end closed and nothing waiting with ERROR_BROKEN_PIPE (also a read pending when it closes), a
//   write to a closed end with ERROR_NO_DATA;
// - CreateFileW fails with ERROR_FILE_NOT_FOUND without an instance of that name, ERROR_PIPE_BUSY when
//   every instance has its client; CreateNamedPipeW with ERROR_PIPE_BUSY beyond nMaxInstances.
// Not modelled (CreateNamedPipeW refuses them with ERROR_NOT_SUPPORTED): message-type pipes and message
// read mode, PIPE_NOWAIT. There is no DisconnectNamedPipe: an instance serves one client.
#pragma once

#include "platform/sim/include/simwin/types.h"

namespace sim {

bool IsPipePath(LPCWSTR path);
HANDLE OpenPipeClient(LPCWSTR path, DWORD access, DWORD flags);

}  // namespace sim
