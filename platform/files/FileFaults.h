#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kora486 {

/// The calls of RiffFile a fault can be attached to.
enum class FileOperation { Open, Read, Write, Seek, Close };

/// Fail: the call answers -1 and moves nothing (Open: the open fails; Close: the file is still
/// written back and closed). Short: a Read or Write moves only the bytes before atByte and
/// answers that count; on Open, Seek and Close it acts as Fail.
enum class FaultKind { Fail, Short };

/// One injected failure.
///
/// A Read or Write fault covers the bytes from atByte on: it fires on every call with a count
/// above 0 whose range [position, position + count) ends past atByte, position being the logical
/// file position at the call (so a call entirely past atByte fires too, like a full disk). A Seek
/// fault fires on every seek whose target is at or past atByte (atByte 0: every seek). Open and
/// Close faults ignore atByte. A fault stays armed until it is cleared, unless once is set: then
/// it is removed the first time it fires.
struct FileFault {
    FileOperation operation;
    int64_t atByte = 0;
    FaultKind kind = FaultKind::Fail;
    bool once = false;
};

/// Arms a fault for the file of that path, in this process. It applies to RiffFile calls on any
/// file opened by that path, already open or opened later; paths are compared after resolving
/// "." and ".." and symbolic links of the directories, so two spellings of one file match. When
/// several faults of a path fire on one call, the first injected decides. Thread-safe.
void InjectFileFault(const std::string& path, FileFault fault);

/// Removes every injected fault. Thread-safe.
void ClearFileFaults();

/// Injects a fault for the lifetime of the object, and removes that one fault (not the others)
/// when it ends.
class ScopedFileFault {
public:
    ScopedFileFault(const std::string& path, FileFault fault);
    ~ScopedFileFault();
    ScopedFileFault(const ScopedFileFault&) = delete;
    ScopedFileFault& operator=(const ScopedFileFault&) = delete;

private:
    uint64_t id_;
};

namespace fault_seam {

// The file service's side of the seam: not for tests.

/// The key a path is registered under.
std::string KeyOfPath(const std::string& path);

/// What an armed fault does to one call.
struct Effect {
    FaultKind kind;
    int64_t atByte;
};

/// The fault, if any, that fires for a call on the file with that key. For Read and Write,
/// position and count describe the call; for Seek, position is the target and count is 0.
std::optional<Effect> FaultFor(const std::string& key, FileOperation operation, int64_t position,
                               int64_t count);

}  // namespace fault_seam

}  // namespace kora486
