#include "Service/Quillon/supervisor/Event.h"

CEvent::CEvent() : m_hEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (!m_hEvent) m_hEvent = INVALID_HANDLE_VALUE;
}

CEvent::~CEvent() {
    if (m_hEvent != INVALID_HANDLE_VALUE) CloseHandle(m_hEvent);
}
