// The emulator's bounds on what it reads and keeps. Each is named in the
// README; a request past one is refused with a message naming it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvo::emulator::limits {

// A request body; a snapshot import may be larger, as it holds the whole state.
inline constexpr std::size_t kBody = 1024 * 1024;
inline constexpr std::size_t kSnapshotBody = 64 * 1024 * 1024;
// Nesting of any JSON the emulator reads, checked while it is read.
inline constexpr int kJsonDepth = 32;
// A form of more fields than any receiver call has, many times over.
inline constexpr std::size_t kFormFields = 64;
// A field name of a form.
inline constexpr std::size_t kFieldName = 256;
// Identifiers: application, user, device, group, token, device name, version.
inline constexpr std::size_t kName = 256;
// Any other stored text: a message, its ext, a form value.
inline constexpr std::size_t kText = 8 * 1024;
// A session or purchase report, a log record, a fault rule's body.
inline constexpr std::size_t kDocument = 64 * 1024;
// Fault rules in force at once, and the bytes of the garbage and huge_body effects.
inline constexpr std::size_t kFaultRules = 1000;
inline constexpr std::int64_t kGarbageBytes = 1024 * 1024;
inline constexpr std::int64_t kHugeBytes = 256LL * 1024 * 1024;
// The clock's offset, an auth key's lifetime and any other duration: a
// century, far from where milliseconds since 1970 overflow.
inline constexpr std::int64_t kDurationMs = 100LL * 366 * 24 * 3600 * 1000;
// The journal: entries, and the bytes they hold.
inline constexpr std::size_t kJournalEntries = 1000000;
inline constexpr std::size_t kJournalBytes = 64 * 1024 * 1024;
// A file the emulator reads whole (--faults, a snapshot to import).
inline constexpr std::size_t kFile = kSnapshotBody;

}  // namespace orvo::emulator::limits
