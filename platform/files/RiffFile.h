#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/MmioFile.h"

namespace kora486 {

/// How RiffFile::Open opens a file.
enum class FileOpenMode {
    Read,       ///< an existing file, for reading only
    ReadWrite,  ///< an existing file, for reading and writing
    Create,     ///< created, or truncated when it exists; for reading and writing
};

/// A buffered file on disk with the multimedia file service's verbs.
///
/// One buffer of BufferSize bytes serves reads and writes: reads see data still waiting in it, a
/// seek is only a position change, and written data reaches the disk when the buffer moves, on
/// Flush, Sync, Close or destruction. Transfers of a whole buffer or more go to the disk directly.
/// Writing after a seek past the end leaves a gap that reads as zeros.
///
/// Read, Write, Seek and Close consult the fault registry (FileFaults.h) by the path the file was
/// opened with, before any buffering, so injected faults fire at the chosen byte. A real write-back
/// failure makes the call that caused it answer -1; the data stays buffered, so the next call that
/// writes back tries again.
///
/// Not thread-safe: one thread uses one file at a time.
class RiffFile final : public MmioFile {
public:
    static constexpr int32_t BufferSize = 64 * 1024;

    /// Opens the file at path; the descriptor is closed on exec. Directories are refused.
    /// @return the file, or nullptr when it cannot be opened; then *error (when given) holds the
    ///         system's reason, e.g. "No such file or directory".
    static std::unique_ptr<RiffFile> Open(const std::string& path, FileOpenMode mode,
                                          std::string* error = nullptr);

    /// The test-only open: whether a file (not a directory) of that name exists. Faults do not
    /// apply.
    static bool Exists(const std::string& path);

    /// Writes back what is buffered and closes the file; errors are lost here, so callers that
    /// care call Close().
    ~RiffFile() override;

    RiffFile(const RiffFile&) = delete;
    RiffFile& operator=(const RiffFile&) = delete;

    /// Writes back what is buffered and closes the file. Every later call answers -1.
    /// @return 0, or -1 when the write-back or the close failed (the file is closed either way).
    int Close();

    /// Writes back what is buffered. @return 0 or -1.
    int Flush() override;

    /// Writes back what is buffered and makes the file's data durable (fsync), for callers that
    /// replace files by rename. @return 0 or -1.
    int Sync();

    /// Moves the position; a position past the end is allowed. Seek to the end answers the
    /// length, buffered data included.
    /// @return the new position, or -1 when it would be negative or the call failed (the position
    ///         is then unchanged).
    int64_t Seek(int64_t offset, SeekOrigin origin) override;

    /// Reads up to count bytes at the position.
    /// @return the bytes read (short at the end of the file, 0 there), or -1 for a negative
    ///         count or a failure before any byte was read.
    int32_t Read(void* data, int32_t count) override;

    /// Writes count bytes at the position.
    /// @return count; fewer when the call stopped part way (the bytes moved); -1 on a read-only
    ///         file, for a negative count, or on a failure before any byte was moved.
    int32_t Write(const void* data, int32_t count) override;

    /// Asks the system to read the range ahead (posix_fadvise WILLNEED).
    void WillNeed(int64_t offset, int64_t length) override;

    /// The length of the file, buffered data included; -1 when the file is closed.
    int64_t Length();

    /// The path the file was opened with.
    const std::string& Path() const { return path_; }

private:
    RiffFile(int fd, std::string path, bool writable, int64_t length);

    int WriteBack();
    int64_t PreadAll(uint8_t* data, int64_t count, int64_t offset);
    int64_t PwriteAll(const uint8_t* data, int64_t count, int64_t offset);
    bool InWindow(int64_t position) const;

    int fd_;
    std::string path_;
    std::string faultKey_;
    bool writable_;
    int64_t position_ = 0;
    int64_t length_;  // logical length: the disk's plus what the buffer adds

    // The buffer mirrors the file's bytes [bufferStart_, bufferStart_ + bufferLength_); bytes
    // [dirtyBegin_, dirtyEnd_) of it are not on disk yet.
    std::vector<uint8_t> buffer_;
    int64_t bufferStart_ = 0;
    int64_t bufferLength_ = 0;
    int64_t dirtyBegin_ = 0;
    int64_t dirtyEnd_ = 0;
};

}  // namespace kora486
