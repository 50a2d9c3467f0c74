// The two shared blocks seen from a test (or the simulator), as the tray sees them: opened by name,
// read and written directly.
#pragma once

#include "Service/common/SharedBlock.h"
#include "platform/sim/include/simwin/api.h"

namespace harness {

class BlockView {
public:
    explicit BlockView(const char* name) {
        mapping_ = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
        if (mapping_)
            view_ = static_cast<QuillonSharedBlock*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, kSharedBlockSize));
    }
    ~BlockView() {
        if (view_) UnmapViewOfFile(view_);
        if (mapping_) CloseHandle(mapping_);
    }
    BlockView(const BlockView&) = delete;
    BlockView& operator=(const BlockView&) = delete;

    explicit operator bool() const { return view_ != nullptr; }
    QuillonSharedBlock* operator->() const { return view_; }
    QuillonSharedBlock& operator*() const { return *view_; }

private:
    HANDLE mapping_ = nullptr;
    QuillonSharedBlock* view_ = nullptr;
};

}  // namespace harness
