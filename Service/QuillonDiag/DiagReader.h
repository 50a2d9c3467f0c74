// Reading the diagnostics record out of the shared block: a whole record of this build's version or a
// reason why not. Pure: no waits and no system calls, so tests drive it over memory of their own.
#pragma once

#include <cstddef>

#include "Service/common/DiagnosticsBlock.h"

enum class EDiagRead {
    Ok,
    NoRecord,      // fewer bytes than the header (nothing mapped)
    TooShort,      // the record, or the mapping, is smaller than this build's record
    WrongVersion,  // a layout this build does not know
    Busy,          // the writer was rewriting the record on every attempt
};

inline constexpr int kDiagReadAttempts = 8;

// Copies the record at `view` (`bytes` mapped there) into `out` when its header says version 1 and a size
// of at least this build's record, and the mapping holds that much; never reads past `bytes`, nor past this
// build's record. The copy is kept when the sequence word was even before it and unchanged after it;
// otherwise it is tried again, `attempts` times in all. `afterCopy`, when given, runs between a copy and
// the second look at the sequence word (tests change the word there).
EDiagRead ReadDiagnostics(const void* view, std::size_t bytes, DiagnosticsRecord& out, int attempts = kDiagReadAttempts,
                          void (*afterCopy)(void* context) = nullptr, void* context = nullptr);

// "the record is smaller than this program knows" and the like, for messages.
const char* DiagReadText(EDiagRead result);
