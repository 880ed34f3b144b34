#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/RecorderState.h"
#include "files/MmioFile.h"

namespace kora486 {

// Shrinking a recording file to what it uses. Host thread only, and only while no recording or
// playback runs.

/// The length a repack shortens the open file to: the end of the RIFF chunk for a WAV file (never
/// before the end of its data chunk), the end of the data for a data-only file. Nothing when the
/// file holds no bytes past that end, and for a new WAV file whose RIFF size has not been written
/// yet (0), which would otherwise lose its header. Leaves the file position at the file's end.
std::optional<int64_t> RepackedLength(MmioFile& file, const RecorderState& state, bool dataOnly);

/// Replaces the closed file at path by a copy of its first `length` bytes.
///
/// The copy is a new unique file beginning "TVM" in the file's own folder (the current one for a
/// name without a folder), written in pieces of EditPieceBytes, given the old file's permission
/// bits and made durable before it is renamed over the old name; the folder is synced after. A
/// crash therefore leaves either the old file or the new one, whole. A symbolic link keeps
/// pointing at the file it named, which is the one replaced.
///
/// @return true when the file was replaced; false when a step failed (no new name could be made,
///         a file did not open, a piece was read or written short, the sync or the rename
///         failed); then the old file is as it was and the copy is removed.
bool ShortenByCopy(const std::string& path, int64_t length);

}  // namespace kora486
