#pragma once

#include <cstdint>

#include "files/MmioFile.h"

namespace kora486 {

/// How MergeInsertFile ended.
enum class MergeOutcome {
    Merged,  ///< the inserted bytes stand at the insert point, the old tail after them
    NoRoom,  ///< the file could not grow: nothing was moved and the old sound is as it was
    Failed,  ///< a read or write failed while the tail moved; the file's sound is damaged
};

/// Pieces in which the merge moves bytes: large enough for the disk to stream, small enough that
/// the memory it takes stays bounded whatever the file's size.
inline constexpr int32_t MergePieceBytes = 4 * 1024 * 1024;

/// How far below the piece being moved the merge asks the system to read ahead.
inline constexpr int64_t MergeReadAheadBytes = 2 * int64_t{MergePieceBytes};

/// Inserts the first `insertBytes` bytes of `insert` into `recording` at `insertOffset`: the
/// bytes from there to `oldEnd` move up by insertBytes, last piece first so that no byte is
/// overwritten before it has moved, and the inserted bytes are copied into the gap. The file
/// first grows at oldEnd by insertBytes, so a full disk is found before anything moves.
MergeOutcome MergeInsertFile(MmioFile& recording, MmioFile& insert, int64_t insertBytes,
                             int64_t insertOffset, int64_t oldEnd);

}  // namespace kora486
