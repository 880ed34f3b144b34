#pragma once

#include <cstdint>

#include "engine/ControlCodes.h"
#include "engine/RecorderState.h"
#include "files/MmioFile.h"

namespace kora486 {

// Cutting sound out of the open file. Host thread only, and only while no recording or playback
// runs.

/// Bytes the edit loops move per read and per write; the only buffer they allocate.
inline constexpr int32_t EditPieceBytes = 64 * 1024;

/// Cuts `frames` frames out of the open file at CurrentSamplePosition.
///
/// The frames after the cut move forward, front to back in pieces of EditPieceBytes; a cut that
/// reaches the end of the sound only shortens it. NumSamples drops by the frames removed and the
/// sizes are written as after a recording (FinishRecordingFile): chunks kept after the data follow
/// it again, and a data-only file's size becomes the end of its data. CurrentSamplePosition is
/// not changed, and the file keeps its length on disk: what lies past the new end is spare until
/// a repack. A count of 0 or less changes nothing.
///
/// @return ErrNone; or ErrOperationFailed when a read or write failed: a failed move leaves the
///         sizes and NumSamples as they were (the frames after the cut may be partly moved), a
///         failed size write leaves them to the close fix-up.
ErrorCode DeleteFrames(MmioFile& file, RecorderState& state, int32_t frames, bool dataOnly);

}  // namespace kora486
