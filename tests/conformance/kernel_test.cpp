// Kernel objects the service relies on: events, waits, critical sections, handles, threads, the last
// error and the clocks.
#include "tests/conformance/conformance.h"

namespace {

HANDLE NewEvent(bool manual, bool initial) { return CreateEventW(nullptr, manual ? TRUE : FALSE, initial ? TRUE : FALSE, nullptr); }

HANDLE StartThread(unsigned (*body)(void*), void* arg) {
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, arg, 0, nullptr));
}

}  // namespace

CONFORMANCE_TEST(Events, AutoResetReleasesOneWaitManualResetStaysSignalled) {
    HANDLE autoEvent = NewEvent(false, false);
    HANDLE manualEvent = NewEvent(true, true);
    CHECK_NE(autoEvent, nullptr);
    CHECK_NE(manualEvent, nullptr);

    CHECK_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);
    CHECK(SetEvent(autoEvent));
    CHECK(SetEvent(autoEvent));  // setting a set event changes nothing: still one release
    CHECK_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForSingleObject(autoEvent, 0), WAIT_TIMEOUT);

    CHECK_EQ(WaitForSingleObject(manualEvent, INFINITE), WAIT_OBJECT_0);  // returns at once
    CHECK_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0);
    CHECK(ResetEvent(manualEvent));
    CHECK_EQ(WaitForSingleObject(manualEvent, 0), WAIT_TIMEOUT);

    CHECK(CloseHandle(autoEvent));
    CHECK(CloseHandle(manualEvent));
}

CONFORMANCE_TEST(Waits, WaitAnyReportsTheLowestSignalledIndexAndWaitAllTakesNothingUntilAll) {
    HANDLE events[3] = {NewEvent(false, false), NewEvent(false, true), NewEvent(false, true)};
    CHECK_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    // Only the object that satisfied the wait was taken: the third is still set.
    CHECK_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    CHECK_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);

    CHECK(SetEvent(events[0]));
    CHECK(SetEvent(events[2]));
    CHECK_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_TIMEOUT);  // events[1] is not set
    CHECK_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0);          // ...and nothing was taken
    CHECK(SetEvent(events[0]));
    CHECK(SetEvent(events[1]));
    CHECK_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
    CHECK_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_TIMEOUT);  // all three were taken
    for (HANDLE e : events) CloseHandle(e);
}

CONFORMANCE_TEST(Waits, BadHandlesAndCountsFailWithTheirErrors) {
    // Handle values are reused: close the doomed handle only once every other handle of the test exists.
    HANDLE good = NewEvent(true, true);
    HANDLE closed = NewEvent(true, true);
    CHECK(CloseHandle(closed));

    SetLastError(0);
    CHECK_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(0);
    CHECK_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE mixed[2] = {good, closed};
    SetLastError(0);
    CHECK_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);  // even though the first is set
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    SetLastError(0);
    CHECK_EQ(WaitForMultipleObjects(0, mixed, FALSE, 0), WAIT_FAILED);
    CHECK_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE& h : many) h = good;
    SetLastError(0);
    CHECK_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0), WAIT_FAILED);
    CHECK_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(good);
}

CONFORMANCE_TEST(Waits, TimeOutsLastAtLeastTheirSpanAndSleepZeroReturns) {
    HANDLE never = NewEvent(true, false);
    HANDLE nor = NewEvent(false, false);
    const ULONGLONG before = GetTickCount64();
    CHECK_EQ(WaitForSingleObject(never, 50), WAIT_TIMEOUT);
    HANDLE pair[2] = {never, nor};  // (one handle twice in one wait is not allowed)
    CHECK_EQ(WaitForMultipleObjects(2, pair, FALSE, 30), WAIT_TIMEOUT);
    CHECK_EQ(WaitForMultipleObjects(2, pair, TRUE, 10), WAIT_TIMEOUT);
    const ULONGLONG elapsed = GetTickCount64() - before;
    CHECK(elapsed >= 60);   // 90 ms of waits; the tick count moves in steps of up to ~16 ms
    CHECK(elapsed < 5000);
    Sleep(0);
    CloseHandle(nor);
    CloseHandle(never);
}

// The timer resolution a program asks for: 0 ms is out of range; a begin is matched by an end of the same
// period. (How long a wait then lasts, Wine cannot show: its waits are precise at any resolution. That a
// time-out ends on the system tick, 15.625 ms unless the process asked for less, only Microsoft's
// documentation of Sleep and timeBeginPeriod decides; the simulated machine follows it.)
CONFORMANCE_TEST(Timer, TimeBeginPeriodRefusesZeroAndPairsWithTimeEndPeriod) {
    CHECK_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
    CHECK_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
    const DWORD before = timeGetTime();
    Sleep(2);
    CHECK(timeGetTime() - before >= 1);
    CHECK_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
}

namespace {

struct LockProbe {
    CRITICAL_SECTION* cs;
    BOOL entered = FALSE;
};

unsigned TryTheLock(void* arg) {
    auto* probe = static_cast<LockProbe*>(arg);
    probe->entered = TryEnterCriticalSection(probe->cs);
    if (probe->entered) LeaveCriticalSection(probe->cs);
    return 0;
}

// Whether another thread could take the lock right now.
bool OtherThreadCanEnter(CRITICAL_SECTION* cs) {
    LockProbe probe{cs};
    HANDLE thread = StartThread(TryTheLock, &probe);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return probe.entered != FALSE;
}

}  // namespace

CONFORMANCE_TEST(CriticalSections, RecursionIsCountedAndOnlyTheLastLeaveReleases) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    CHECK(TryEnterCriticalSection(&cs));  // the owner enters again at once
    CHECK(!OtherThreadCanEnter(&cs));
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    CHECK(!OtherThreadCanEnter(&cs));
    LeaveCriticalSection(&cs);
    CHECK(OtherThreadCanEnter(&cs));
    DeleteCriticalSection(&cs);
}

CONFORMANCE_TEST(Handles, CloseHandleOnPseudoHandlesHasNoEffectAndOnBadHandlesFails) {
    CHECK(CloseHandle(GetCurrentThread()));
    CHECK_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);  // still the current thread

    SetLastError(0);
    CHECK(!CloseHandle(nullptr));
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE event = NewEvent(false, false);
    CHECK(CloseHandle(event));
    SetLastError(0);
    CHECK(!CloseHandle(event));
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// INVALID_HANDLE_VALUE is the value of GetCurrentProcess(): the current process, which a wait sees as
// never signalled while the process runs and which CloseHandle leaves alone.
CONFORMANCE_TEST(Handles, TheCurrentProcessPseudoHandleIsInvalidHandleValue) {
    CHECK_EQ(GetCurrentProcess(), INVALID_HANDLE_VALUE);
    CHECK_EQ(WaitForSingleObject(GetCurrentProcess(), 0), WAIT_TIMEOUT);
    CHECK_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 20), WAIT_TIMEOUT);
    CHECK(CloseHandle(GetCurrentProcess()));
    CHECK_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_TIMEOUT);
}

CONFORMANCE_TEST(Handles, DuplicateHandleMakesASecondHandleToTheSameObject) {
    HANDLE self = GetCurrentProcess();
    HANDLE original = NewEvent(true, false);
    HANDLE copy = nullptr;
    CHECK(DuplicateHandle(self, original, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    CHECK_NE(copy, nullptr);
    CHECK_NE(copy, original);
    CHECK(SetEvent(copy));
    CHECK_EQ(WaitForSingleObject(original, 0), WAIT_OBJECT_0);
    CHECK(CloseHandle(original));
    CHECK_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);  // the object lives while a handle does

    // DUPLICATE_CLOSE_SOURCE closes the source handle.
    HANDLE moved = nullptr;
    CHECK(DuplicateHandle(self, copy, self, &moved, 0, FALSE, DUPLICATE_SAME_ACCESS | DUPLICATE_CLOSE_SOURCE));
    CHECK_EQ(WaitForSingleObject(moved, 0), WAIT_OBJECT_0);
    if (moved != copy) {  // the freed value may be handed out again at once, to the new handle
        SetLastError(0);
        CHECK_EQ(WaitForSingleObject(copy, 0), WAIT_FAILED);
        CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }

    // The current-thread pseudo handle duplicates into a real handle of this thread.
    HANDLE thread = nullptr;
    CHECK(DuplicateHandle(self, GetCurrentThread(), self, &thread, 0, FALSE, DUPLICATE_SAME_ACCESS));
    CHECK_NE(thread, GetCurrentThread());
    CHECK_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);  // this thread is running
    CHECK(CloseHandle(thread));

    SetLastError(0);
    HANDLE none = nullptr;
    CHECK(!DuplicateHandle(self, nullptr, self, &none, 0, FALSE, DUPLICATE_SAME_ACCESS));
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(moved);
}

CONFORMANCE_TEST(Handles, DuplicateHandleHonoursTheAccessAskedFor) {
    HANDLE self = GetCurrentProcess();
    HANDLE event = NewEvent(true, false);
    HANDLE waitOnly = nullptr;
    CHECK(DuplicateHandle(self, event, self, &waitOnly, SYNCHRONIZE, FALSE, 0));
    SetLastError(0);
    CHECK(!SetEvent(waitOnly));  // no EVENT_MODIFY_STATE on this handle
    CHECK_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CHECK(SetEvent(event));
    CHECK_EQ(WaitForSingleObject(waitOnly, 0), WAIT_OBJECT_0);

    SetLastError(0);
    HANDLE none = nullptr;
    CHECK(!DuplicateHandle(nullptr, event, self, &none, 0, FALSE, DUPLICATE_SAME_ACCESS));  // no such process
    CHECK_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(waitOnly);
    CloseHandle(event);
}

namespace {

struct Worker {
    HANDLE go;
    DWORD lastErrorSeen = 0;
};

unsigned WaitThenReturn(void* arg) {
    auto* worker = static_cast<Worker*>(arg);
    worker->lastErrorSeen = GetLastError();  // a new thread starts with no error of its creator's
    SetLastError(ERROR_ACCESS_DENIED);
    WaitForSingleObject(worker->go, INFINITE);
    return 42;
}

}  // namespace

CONFORMANCE_TEST(Threads, ExitCodesPrioritiesAndALastErrorPerThread) {
    Worker worker{NewEvent(true, false)};
    SetLastError(ERROR_FILE_NOT_FOUND);
    HANDLE thread = StartThread(WaitThenReturn, &worker);
    CHECK_NE(thread, nullptr);
    DWORD code = 0;
    CHECK(GetExitCodeThread(thread, &code));
    CHECK_EQ(code, STILL_ACTIVE);

    CHECK(SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL));
    CHECK_EQ(GetThreadPriority(thread), THREAD_PRIORITY_TIME_CRITICAL);
    CHECK(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL));
    CHECK_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ABOVE_NORMAL);
    SetLastError(0);
    CHECK(!SetThreadPriority(thread, 5));  // not a priority level
    CHECK_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CHECK_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ABOVE_NORMAL);

    CHECK(SetEvent(worker.go));
    CHECK_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CHECK(GetExitCodeThread(thread, &code));
    CHECK_EQ(code, 42u);
    CHECK_EQ(worker.lastErrorSeen, 0u);
    SetLastError(ERROR_FILE_NOT_FOUND);
    CHECK_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);  // the worker's error stayed the worker's
    CHECK_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // an ended thread stays signalled
    CloseHandle(thread);
    CloseHandle(worker.go);
}

CONFORMANCE_TEST(Clocks, TheMillisecondClocksAgreeAndThePerformanceCounterMoves) {
    LARGE_INTEGER frequency{}, first{}, second{};
    CHECK(QueryPerformanceFrequency(&frequency));
    CHECK(frequency.QuadPart > 0);
    CHECK(QueryPerformanceCounter(&first));
    const DWORD tick = GetTickCount();
    const ULONGLONG tick64 = GetTickCount64();
    const DWORD mm = timeGetTime();
    // GetTickCount is the low 32 bits of GetTickCount64; timeGetTime counts the same milliseconds.
    CHECK(static_cast<DWORD>(tick64) - tick < 100);
    CHECK(mm - tick < 100 || tick - mm < 100);
    Sleep(20);
    CHECK(QueryPerformanceCounter(&second));
    CHECK(second.QuadPart > first.QuadPart);
    CHECK(GetTickCount64() >= tick64);
}
