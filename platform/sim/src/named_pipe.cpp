// Named pipes: each instance a pair of device files (see named_pipe.h).
#include "platform/sim/include/sim/named_pipe.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "platform/sim/include/sim/devices.h"
#include "platform/sim/include/simwin/api.h"

namespace sim {

namespace {

constexpr char16_t kPipePrefix[] = u"\\\\.\\pipe\\";
constexpr std::size_t kPipePrefixLength = sizeof kPipePrefix / sizeof kPipePrefix[0] - 1;
// ConnectNamedPipe's request: the file-system control Windows sends for it.
constexpr DWORD kListen = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr int kServer = 0;
constexpr int kClient = 1;

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

// The name after "\\.\pipe\", case folded; empty when the path is no pipe's.
std::u16string PipeName(LPCWSTR path) {
    if (!path) return {};
    std::u16string folded;
    for (const char16_t* c = path; *c; ++c) folded += Fold(*c);
    if (folded.size() <= kPipePrefixLength || folded.compare(0, kPipePrefixLength, kPipePrefix) != 0) return {};
    return folded.substr(kPipePrefixLength);
}

// One instance; everything in it is guarded by the machine lock.
struct Instance {
    std::u16string name;
    DWORD maxInstances = 1;
    bool clientCame = false;
    bool closed[2] = {};
    std::deque<BYTE> waiting[2];                         // bytes written to each end, not yet read there
    std::deque<std::shared_ptr<IoRequest>> reads[2];     // each end's pending reads, oldest first
    std::vector<std::shared_ptr<IoRequest>> listens;     // pending ConnectNamedPipe calls
};

// The machine's pipe names.
struct PipeNames {
    explicit PipeNames(Machine&) {}
    std::vector<std::weak_ptr<Instance>> instances;  // machine lock held
};

class PipeEnd final : public Device {
public:
    PipeEnd(Machine& machine, std::shared_ptr<Instance> pipe, int side)
        : machine_(machine), pipe_(std::move(pipe)), side_(side) {}
    std::string Describe() const override { return side_ == kServer ? "pipe server end" : "pipe client end"; }

    DWORD Io(File& file, const std::shared_ptr<IoRequest>& r) override {
        std::lock_guard lock(machine_.Mutex());
        Instance& p = *pipe_;
        const int peer = 1 - side_;
        switch (r->kind) {
            case IoRequest::Kind::Read:
                if (!(file.access & GENERIC_READ)) return ERROR_ACCESS_DENIED;
                if (!p.waiting[side_].empty()) {
                    r->information = Take(side_, r->out, r->outSize);
                    return ERROR_SUCCESS;
                }
                if (!p.clientCame) return ERROR_PIPE_LISTENING;
                if (p.closed[peer]) return ERROR_BROKEN_PIPE;
                p.reads[side_].push_back(r);
                return ERROR_IO_PENDING;
            case IoRequest::Kind::Write:
                if (!(file.access & GENERIC_WRITE)) return ERROR_ACCESS_DENIED;
                if (!p.clientCame) return ERROR_PIPE_LISTENING;
                if (p.closed[peer]) return ERROR_NO_DATA;
                p.waiting[peer].insert(p.waiting[peer].end(), static_cast<const BYTE*>(r->in),
                                       static_cast<const BYTE*>(r->in) + r->inSize);
                r->information = r->inSize;
                Deliver(peer);
                return ERROR_SUCCESS;
            case IoRequest::Kind::Control:
                if (r->code != kListen || side_ != kServer) return ERROR_INVALID_FUNCTION;
                if (p.clientCame) return p.closed[kClient] ? ERROR_NO_DATA : ERROR_PIPE_CONNECTED;
                p.listens.push_back(r);
                return ERROR_IO_PENDING;
        }
        return ERROR_INVALID_FUNCTION;
    }

    void CancelLocked(File&, IoRequest& r) override {
        const auto same = [&](const std::shared_ptr<IoRequest>& pending) { return pending.get() == &r; };
        std::erase_if(pipe_->reads[side_], same);
        std::erase_if(pipe_->listens, same);
    }

    void Close(File&) override {
        std::lock_guard lock(machine_.Mutex());
        Instance& p = *pipe_;
        p.closed[side_] = true;
        // The other end's waiting reads learn that no more will come.
        for (auto& r : p.reads[1 - side_]) r->CompleteLocked(ERROR_BROKEN_PIPE, 0);
        p.reads[1 - side_].clear();
    }

    // A client opened this instance: pending ConnectNamedPipe calls complete.
    static void ConnectedLocked(Instance& p) {
        p.clientCame = true;
        for (auto& r : p.listens) r->CompleteLocked(ERROR_SUCCESS, 0);
        p.listens.clear();
    }

private:
    DWORD Take(int side, void* out, DWORD size) {
        auto& bytes = pipe_->waiting[side];
        const DWORD n = static_cast<DWORD>(std::min<std::size_t>(size, bytes.size()));
        std::copy_n(bytes.begin(), n, static_cast<BYTE*>(out));
        bytes.erase(bytes.begin(), bytes.begin() + n);
        return n;
    }

    // Hands what waits at an end to its pending reads, oldest first.
    void Deliver(int side) {
        Instance& p = *pipe_;
        while (!p.reads[side].empty() && !p.waiting[side].empty()) {
            auto r = p.reads[side].front();
            p.reads[side].pop_front();
            r->CompleteLocked(ERROR_SUCCESS, Take(side, r->out, r->outSize));
        }
    }

    Machine& machine_;
    std::shared_ptr<Instance> pipe_;
    int side_;
};

bool Failing(const char* function) {
    DWORD error;
    if (!Machine::Current().TakeFailure(function, &error)) return false;
    SetError(error);
    return true;
}

HANDLE Open(Machine& machine, std::shared_ptr<Instance> pipe, int side, DWORD access, DWORD flags) {
    DWORD error = ERROR_SUCCESS;
    HANDLE handle = machine.Devices().OpenFile(std::make_shared<PipeEnd>(machine, std::move(pipe), side), nullptr,
                                               access, flags & FILE_FLAG_OVERLAPPED, &error);
    SetError(error);
    return handle;
}

}  // namespace

bool IsPipePath(LPCWSTR path) { return !PipeName(path).empty(); }

HANDLE OpenPipeClient(LPCWSTR path, DWORD access, DWORD flags) {
    Machine& machine = Machine::Current();
    const std::u16string name = PipeName(path);
    auto& instances = machine.Part<PipeNames>().instances;
    std::shared_ptr<Instance> free;
    {
        std::lock_guard lock(machine.Mutex());
        bool named = false;
        for (auto& weak : instances) {
            auto p = weak.lock();
            if (!p || p->name != name || p->closed[kServer]) continue;
            named = true;
            if (!p->clientCame) {
                free = p;
                break;
            }
        }
        if (!free) {
            SetError(named ? ERROR_PIPE_BUSY : ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        PipeEnd::ConnectedLocked(*free);
    }
    return Open(machine, std::move(free), kClient, access, flags);
}

}  // namespace sim

HANDLE CreateNamedPipeW(LPCWSTR lpName, DWORD dwOpenMode, DWORD dwPipeMode, DWORD nMaxInstances, DWORD, DWORD, DWORD,
                        LPSECURITY_ATTRIBUTES) {
    if (sim::Failing("CreateNamedPipeW")) return INVALID_HANDLE_VALUE;
    const std::u16string name = sim::PipeName(lpName);
    const DWORD direction = dwOpenMode & PIPE_ACCESS_DUPLEX;
    if (name.empty()) {
        sim::SetError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (direction == 0 || nMaxInstances == 0 || nMaxInstances > PIPE_UNLIMITED_INSTANCES) {
        sim::SetError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwPipeMode != (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT)) {
        sim::SetError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    sim::Machine& machine = sim::Machine::Current();
    auto pipe = std::make_shared<sim::Instance>();
    pipe->name = name;
    pipe->maxInstances = nMaxInstances;
    auto& instances = machine.Part<sim::PipeNames>().instances;
    {
        std::lock_guard lock(machine.Mutex());
        std::erase_if(instances, [](const auto& weak) { return weak.expired(); });
        DWORD count = 0, limit = nMaxInstances;
        for (auto& weak : instances) {
            auto p = weak.lock();
            if (!p || p->name != name || p->closed[sim::kServer]) continue;
            ++count;
            limit = p->maxInstances;  // the first instance's limit holds for the name
        }
        if (count >= limit) {
            sim::SetError(ERROR_PIPE_BUSY);
            return INVALID_HANDLE_VALUE;
        }
        instances.push_back(pipe);
    }
    const DWORD access = ((direction & PIPE_ACCESS_INBOUND) ? GENERIC_READ : 0) |
                         ((direction & PIPE_ACCESS_OUTBOUND) ? GENERIC_WRITE : 0);
    return sim::Open(machine, std::move(pipe), sim::kServer, access, dwOpenMode);
}

BOOL ConnectNamedPipe(HANDLE hNamedPipe, LPOVERLAPPED lpOverlapped) {
    if (sim::Failing("ConnectNamedPipe")) return FALSE;
    DWORD ignored = 0;
    return sim::Machine::Current().Devices().Io(hNamedPipe, sim::IoRequest::Kind::Control, sim::kListen, nullptr, 0,
                                                nullptr, 0, &ignored, lpOverlapped);
}
