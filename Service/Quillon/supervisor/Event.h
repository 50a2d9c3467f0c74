// CEvent: one unnamed, auto-reset, initially non-signalled event, closed when the object dies.
#pragma once

#include "platform/win32.h"

class CEvent {
public:
    CEvent();
    virtual ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    HANDLE Handle() const { return m_hEvent; }

private:
    HANDLE m_hEvent;  // INVALID_HANDLE_VALUE when the event could not be created
};
