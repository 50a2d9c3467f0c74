// A critical section paired with a 32-bit depth counter, raised right after entering and lowered right
// before leaving, so a debugger (or a test) can see how deep the owner holds it.
#pragma once

#include "platform/win32.h"

class CCountedLock {
public:
    CCountedLock() { InitializeCriticalSection(&m_cs); }
    ~CCountedLock() { DeleteCriticalSection(&m_cs); }
    CCountedLock(const CCountedLock&) = delete;
    CCountedLock& operator=(const CCountedLock&) = delete;

    void Enter() {
        EnterCriticalSection(&m_cs);
        ++m_depth;
    }
    void Leave() {
        --m_depth;
        LeaveCriticalSection(&m_cs);
    }
    LONG Depth() const { return m_depth; }

private:
    CRITICAL_SECTION m_cs;
    LONG m_depth = 0;
};

class CLockGuard {
public:
    explicit CLockGuard(CCountedLock& lock) : m_lock(lock) { m_lock.Enter(); }
    ~CLockGuard() { m_lock.Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CCountedLock& m_lock;
};
