#include "files/InsertMerge.h"

#include <algorithm>
#include <memory>

namespace kora486 {

namespace {

bool ReadAt(MmioFile& file, int64_t offset, uint8_t* data, int32_t count) {
    return file.Seek(offset, SeekOrigin::Start) == offset && file.Read(data, count) == count;
}

bool WriteAt(MmioFile& file, int64_t offset, const uint8_t* data, int32_t count) {
    return file.Seek(offset, SeekOrigin::Start) == offset && file.Write(data, count) == count;
}

int32_t PieceOf(int64_t remaining) {
    return static_cast<int32_t>(std::min<int64_t>(remaining, MergePieceBytes));
}

}  // namespace

MergeOutcome MergeInsertFile(MmioFile& recording, MmioFile& insert, int64_t insertBytes,
                             int64_t insertOffset, int64_t oldEnd) {
    if (insertBytes <= 0) {
        return MergeOutcome::Merged;
    }
    const auto scratch = std::make_unique<uint8_t[]>(MergePieceBytes);

    // Grow the file first; what these bytes hold is overwritten by the moves below.
    for (int64_t done = 0; done < insertBytes;) {
        const int32_t piece = PieceOf(insertBytes - done);
        if (!WriteAt(recording, oldEnd + done, scratch.get(), piece)) {
            return MergeOutcome::NoRoom;
        }
        done += piece;
    }

    // Move the tail up, last piece first. Reading backwards defeats the kernel's read-ahead, so
    // each step asks for the pieces before the one it reads.
    for (int64_t tail = oldEnd - insertOffset; tail > 0;) {
        const int32_t piece = PieceOf(tail);
        const int64_t from = insertOffset + tail - piece;
        const int64_t ahead = std::min<int64_t>(from - insertOffset, MergeReadAheadBytes);
        recording.WillNeed(from - ahead, ahead);
        if (!ReadAt(recording, from, scratch.get(), piece) ||
            !WriteAt(recording, from + insertBytes, scratch.get(), piece)) {
            return MergeOutcome::Failed;
        }
        tail -= piece;
    }

    for (int64_t done = 0; done < insertBytes;) {
        const int32_t piece = PieceOf(insertBytes - done);
        if (!ReadAt(insert, done, scratch.get(), piece) ||
            !WriteAt(recording, insertOffset + done, scratch.get(), piece)) {
            return MergeOutcome::Failed;
        }
        done += piece;
    }
    return MergeOutcome::Merged;
}

}  // namespace kora486
