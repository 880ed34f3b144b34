// The WAV header reader over any bytes: it refuses the file or opens it with frames that exist,
// and the fix-ups that later rewrite the header stay inside the file they were given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/RecorderState.h"
#include "files/MemoryMmioFile.h"
#include "files/WavFile.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kora486;
    MemoryMmioFile file(std::vector<uint8_t>(data, data + size));
    RecorderState state;
    WavHeader header;
    if (ReadWavHeader(file, state, header) != ErrNone) {
        return 0;
    }
    Check(int64_t{state.DataChunk.dataOffset} + state.DataChunk.size <= int64_t(size));
    Check(header.formatBody.size() == state.FmtChunk.size);
    IsCompleteFormatBody(header.formatBody);
    if (AcceptUncompressedFormat(header, state) != ErrNone) {
        return 0;
    }
    Check(state.WaveFormat.blockAlign != 0);
    Check(int64_t{state.NumSamples} * state.WaveFormat.blockAlign <= state.DataChunk.size);

    // Recording one frame at the end, then both fix-ups, as the control does.
    state.CurrentSamplePosition = state.NumSamples.load();
    file.Seek(state.DataChunk.dataOffset + DataBytesOfFrames(state, state.NumSamples),
              SeekOrigin::Start);
    const std::vector<uint8_t> frame(state.WaveFormat.blockAlign, 0x5A);
    file.Write(frame.data(), static_cast<int32_t>(frame.size()));
    state.NumSamples += 1;
    state.DataChunk.flags |= ChunkDirty;
    state.RiffChunk.flags |= ChunkDirty;
    FinishRecordingFile(file, state, false);
    FixUpWavFileForClose(file, state, false);
    Check(file.Bytes().size() <= size + frame.size() + state.TrailingChunks.size() + 16);
    return 0;
}
