#include "files/DeleteSound.h"

#include <algorithm>
#include <memory>

#include "files/WavFile.h"

namespace kora486 {

namespace {

// Moves count bytes from `from` down to `to` (to < from), front to back, so that overlapping
// ranges are safe. False at the first read or write that moves fewer bytes than asked.
bool MoveBytesDown(MmioFile& file, int64_t from, int64_t to, int64_t count) {
    const auto piece = std::make_unique<uint8_t[]>(EditPieceBytes);
    while (count > 0) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(count, EditPieceBytes));
        if (file.Seek(from, SeekOrigin::Start) != from || file.Read(piece.get(), n) != n ||
            file.Seek(to, SeekOrigin::Start) != to || file.Write(piece.get(), n) != n) {
            return false;
        }
        from += n;
        to += n;
        count -= n;
    }
    return true;
}

}  // namespace

ErrorCode DeleteFrames(MmioFile& file, RecorderState& state, int32_t frames, bool dataOnly) {
    if (frames <= 0) {
        return ErrNone;
    }
    // Compressed files are cut in whole codec blocks (the count rounded to SamplesPerBlock, and
    // NumSamples rounded again after the cut); that rounding arrives with the codec manager.
    const int64_t position = state.CurrentSamplePosition.load();
    const int64_t total = state.NumSamples.load();
    const int64_t base = state.DataChunk.dataOffset;
    if (frames < total - position) {
        // Each offset is worked out on its own: compressed files round each to whole blocks.
        const int64_t to = DataBytesOfFrames(state, position);
        const int64_t from = to + DataBytesOfFrames(state, frames);
        const int64_t end = DataBytesOfFrames(state, total);
        if (!MoveBytesDown(file, base + from, base + to, end - from)) {
            file.Seek(base + to, SeekOrigin::Start);
            return ErrOperationFailed;
        }
        state.NumSamples.store(static_cast<int32_t>(total - frames));
    } else {
        state.NumSamples.store(static_cast<int32_t>(std::min(position, total)));
    }
    state.RiffChunk.flags |= ChunkDirty;
    state.DataChunk.flags |= ChunkDirty;
    FinishRecordingFile(file, state, dataOnly);
    // The fix-up passes failing steps over; a write-back that failed is still pending here.
    return file.Flush() == 0 ? ErrNone : ErrOperationFailed;
}

}  // namespace kora486
