#pragma once

#include <cstdint>

namespace kora486 {

enum class SeekOrigin { Start, Current, End };

/// A random-access file with the multimedia file service's verbs: every call answers the position
/// or the number of bytes moved, or -1 when it failed. A short count is not a failure.
class MmioFile {
public:
    virtual ~MmioFile() = default;

    /// Moves the position; answers the new absolute position or -1.
    virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;

    /// Reads up to count bytes at the position; answers the bytes read (0 at the end) or -1.
    virtual int32_t Read(void* data, int32_t count) = 0;

    /// Writes count bytes at the position; answers the bytes written or -1.
    virtual int32_t Write(const void* data, int32_t count) = 0;

    /// Writes out what is buffered; answers 0 or -1. Files without a buffer have nothing to do.
    virtual int Flush() { return 0; }

    /// Tells the file that the bytes [offset, offset + length) will be read soon, for callers
    /// that read where the system would not guess (backwards). Only a hint.
    virtual void WillNeed(int64_t offset, int64_t length) {
        (void)offset;
        (void)length;
    }
};

}  // namespace kora486
