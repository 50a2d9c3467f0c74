// Overlapped I/O as the service's device requests use it (KS property and stream requests, HID reports),
// shown on a named pipe: the object both Windows and Wine offer whose reads wait for a peer. The I/O
// manager's part (the event reset at issue, the status and count in the OVERLAPPED, GetOverlappedResult,
// CancelIo) is the same whatever driver answers.
//
// No pipe request that pends goes through DeviceIoControl: the pipe's own controls are file-system
// controls, which Windows sends only from FSCTL-typed codes. A pending device control completes like the
// pending read and ConnectNamedPipe shown here; what DeviceIoControl shows on the pipe is a request the
// driver does not know.
#include "tests/conformance/conformance.h"

#include <cstring>

namespace {

constexpr const WCHAR* kPipeName = WSTR("\\\\.\\pipe\\quillon-conformance-io");

HANDLE NewManualEvent(bool initial) { return CreateEventW(nullptr, TRUE, initial ? TRUE : FALSE, nullptr); }

HANDLE NewServer() {
    return CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
}

HANDLE NewClient() {
    return CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

// A connected instance, both ends overlapped.
struct Pipe {
    HANDLE server = NewServer();
    HANDLE client = NewClient();
    Pipe() {
        CHECK_NE(server, INVALID_HANDLE_VALUE);
        CHECK_NE(client, INVALID_HANDLE_VALUE);
        // The client came before the server asked: a good connection all the same.
        OVERLAPPED ov{};
        ov.hEvent = NewManualEvent(false);
        SetLastError(0);
        CHECK(!ConnectNamedPipe(server, &ov));
        CHECK_EQ(GetLastError(), ERROR_PIPE_CONNECTED);
        CloseHandle(ov.hEvent);
    }
    ~Pipe() {
        CloseHandle(client);
        CloseHandle(server);
    }
};

// Writes on the client end and returns the count the write reports, at once or through its completion.
DWORD WriteFromClient(const Pipe& pipe, const char* text) {
    OVERLAPPED ov{};
    ov.hEvent = NewManualEvent(false);
    DWORD written = 0;
    if (!WriteFile(pipe.client, text, static_cast<DWORD>(std::strlen(text)), nullptr, &ov)) {
        CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
        CHECK(GetOverlappedResult(pipe.client, &ov, &written, TRUE));
    } else {
        CHECK(GetOverlappedResult(pipe.client, &ov, &written, FALSE));
    }
    CloseHandle(ov.hEvent);
    return written;
}

// Starts a read on the server end that must wait: its event is reset at issue even when it was set, and
// the OVERLAPPED says pending until the request completes.
void StartPendingRead(const Pipe& pipe, OVERLAPPED* ov, char* buffer, DWORD size) {
    CHECK(SetEvent(ov->hEvent));
    SetLastError(0);
    CHECK(!ReadFile(pipe.server, buffer, size, nullptr, ov));
    CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    CHECK_EQ(WaitForSingleObject(ov->hEvent, 0), WAIT_TIMEOUT);
    CHECK_EQ(ov->Internal, STATUS_PENDING);
    DWORD count = 99;
    SetLastError(0);
    CHECK(!GetOverlappedResult(pipe.server, ov, &count, FALSE));
    CHECK_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
}

struct Canceller {
    HANDLE file;
    BOOL result = FALSE;
};

unsigned CancelOnThisThread(void* arg) {
    auto* canceller = static_cast<Canceller*>(arg);
    canceller->result = CancelIo(canceller->file);
    return 0;
}

}  // namespace

CONFORMANCE_TEST(OverlappedIo, ConnectPendsUntilAClientOpensAndEachInstanceTakesOneClient) {
    HANDLE server = NewServer();
    CHECK_NE(server, INVALID_HANDLE_VALUE);
    OVERLAPPED ov{};
    ov.hEvent = NewManualEvent(true);
    SetLastError(0);
    CHECK(!ConnectNamedPipe(server, &ov));
    CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);  // reset at issue
    DWORD count = 0;
    SetLastError(0);
    CHECK(!GetOverlappedResult(server, &ov, &count, FALSE));
    CHECK_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    HANDLE client = NewClient();
    CHECK_NE(client, INVALID_HANDLE_VALUE);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    CHECK(GetOverlappedResult(server, &ov, &count, FALSE));

    // One instance allowed, and its client is there.
    SetLastError(0);
    CHECK_EQ(NewClient(), INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), ERROR_PIPE_BUSY);
    SetLastError(0);
    CHECK_EQ(NewServer(), INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), ERROR_PIPE_BUSY);
    CloseHandle(client);
    CloseHandle(server);
    CloseHandle(ov.hEvent);
}

CONFORMANCE_TEST(OverlappedIo, AReadWaitsWithItsEventResetAndItsResultComesFromTheCompletion) {
    Pipe pipe;
    OVERLAPPED ov{};
    ov.hEvent = NewManualEvent(true);
    char buffer[16] = {};
    StartPendingRead(pipe, &ov, buffer, sizeof buffer);

    CHECK_EQ(WriteFromClient(pipe, "hello"), 5u);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    DWORD count = 0;
    CHECK(GetOverlappedResult(pipe.server, &ov, &count, FALSE));
    CHECK_EQ(count, 5u);
    CHECK_EQ(ov.InternalHigh, 5u);
    CHECK(std::memcmp(buffer, "hello", 5) == 0);

    // Bytes already waiting: the read may complete at once. Either way its completion is reported as for a
    // pending one (status and count in the OVERLAPPED, the event set: "when the operation has completed",
    // however soon), which is what the service reads.
    CHECK_EQ(WriteFromClient(pipe, "abc"), 3u);
    CHECK(ResetEvent(ov.hEvent));
    count = 0;
    if (!ReadFile(pipe.server, buffer, sizeof buffer, nullptr, &ov)) {
        CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    CHECK(GetOverlappedResult(pipe.server, &ov, &count, TRUE));
    CHECK_EQ(count, 3u);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
    CHECK(std::memcmp(buffer, "abc", 3) == 0);

    // A pending read fails through its completion when the other end goes: the wait ending is no success.
    StartPendingRead(pipe, &ov, buffer, sizeof buffer);
    CloseHandle(pipe.client);
    pipe.client = INVALID_HANDLE_VALUE;
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    count = 99;
    SetLastError(0);
    CHECK(!GetOverlappedResult(pipe.server, &ov, &count, FALSE));
    CHECK_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    CHECK_EQ(count, 0u);
    CloseHandle(ov.hEvent);
}

CONFORMANCE_TEST(OverlappedIo, CancelIoCancelsOnlyTheCallingThreadsRequestsWhichStillComplete) {
    Pipe pipe;
    OVERLAPPED ov{};
    ov.hEvent = NewManualEvent(false);
    char buffer[16] = {};
    StartPendingRead(pipe, &ov, buffer, sizeof buffer);

    // Another thread's CancelIo on the same handle leaves this thread's read alone: it still takes the
    // next write.
    Canceller other{pipe.server};
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, CancelOnThisThread, &other, 0, nullptr));
    CHECK_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK(other.result);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
    CHECK_EQ(WriteFromClient(pipe, "four"), 4u);
    DWORD count = 0;
    CHECK(GetOverlappedResult(pipe.server, &ov, &count, TRUE));
    CHECK_EQ(count, 4u);

    // The issuing thread's CancelIo ends it: the request still completes, with ERROR_OPERATION_ABORTED
    // through GetOverlappedResult, nothing transferred, and the event set.
    StartPendingRead(pipe, &ov, buffer, sizeof buffer);
    CHECK(CancelIo(pipe.server));
    count = 99;
    SetLastError(0);
    CHECK(!GetOverlappedResult(pipe.server, &ov, &count, TRUE));
    CHECK_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    CHECK_EQ(count, 0u);
    CHECK_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);

    // The handle is as it was: the next read takes the next write.
    StartPendingRead(pipe, &ov, buffer, sizeof buffer);
    CHECK_EQ(WriteFromClient(pipe, "ok"), 2u);
    CHECK(GetOverlappedResult(pipe.server, &ov, &count, TRUE));
    CHECK_EQ(count, 2u);
    CHECK(std::memcmp(buffer, "ok", 2) == 0);
    CloseHandle(ov.hEvent);
}

// The service's KS requests set the low-order bit of their event handle so that a completion port the
// handle may be bound to gets no packet. The event is still reset at issue and set at completion.
CONFORMANCE_TEST(OverlappedIo, AnEventHandleWithItsLowBitSetIsStillTheRequestsEvent) {
    Pipe pipe;
    HANDLE event = NewManualEvent(true);
    OVERLAPPED ov{};
    ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
    char buffer[16] = {};
    SetLastError(0);
    CHECK(!ReadFile(pipe.server, buffer, sizeof buffer, nullptr, &ov));
    CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    CHECK_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CHECK_EQ(WriteFromClient(pipe, "bit"), 3u);
    CHECK_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    DWORD count = 0;
    CHECK(GetOverlappedResult(pipe.server, &ov, &count, FALSE));
    CHECK_EQ(count, 3u);

#if defined(_WIN32)
    // With a completion port bound to the handle: a request with the bit set queues nothing, one without
    // it a packet. (The simulated machine has no completion ports; the service binds none.)
    HANDLE port = CreateIoCompletionPort(pipe.server, nullptr, 7, 0);
    CHECK_NE(port, nullptr);
    CHECK(!ReadFile(pipe.server, buffer, sizeof buffer, nullptr, &ov));
    CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    CHECK_EQ(WriteFromClient(pipe, "tag"), 3u);
    CHECK(GetOverlappedResult(pipe.server, &ov, &count, TRUE));
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* packet = nullptr;
    SetLastError(0);
    CHECK(!GetQueuedCompletionStatus(port, &bytes, &key, &packet, 0));
    CHECK_EQ(GetLastError(), WAIT_TIMEOUT);
    ov.hEvent = event;
    CHECK(!ReadFile(pipe.server, buffer, sizeof buffer, nullptr, &ov));
    CHECK_EQ(GetLastError(), ERROR_IO_PENDING);
    CHECK_EQ(WriteFromClient(pipe, "untagged"), 8u);
    CHECK(GetQueuedCompletionStatus(port, &bytes, &key, &packet, 5000));
    CHECK_EQ(packet, &ov);
    CHECK_EQ(key, 7u);
    CHECK_EQ(bytes, 8u);
    CloseHandle(port);
#endif
    CloseHandle(event);
}

// A control code the driver does not implement fails at once, never pending, with one of the answers of
// an unimplemented request: ERROR_INVALID_FUNCTION or ERROR_NOT_SUPPORTED, the driver's choice (Wine's
// pipes give the second). The OVERLAPPED's event stays as the call's start left it, reset: the OVERLAPPED
// documentation says the call resets it before the request begins, and nothing sets it for a request
// that never began.
CONFORMANCE_TEST(OverlappedIo, AControlTheDriverDoesNotKnowFailsAtOnce) {
    Pipe pipe;
    OVERLAPPED ov{};
    ov.hEvent = NewManualEvent(true);
    DWORD value = 0x12345678, returned = 99;
    SetLastError(0);
    CHECK(!DeviceIoControl(pipe.server, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x923, METHOD_BUFFERED, FILE_ANY_ACCESS),
                           &value, sizeof value, &value, sizeof value, &returned, &ov));
    const DWORD error = GetLastError();
    CHECK(error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED);
    CONFORMANCE_DOCUMENTED(WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT,
                           "an overlapped request resets its event before it begins");
    CloseHandle(ov.hEvent);
}
