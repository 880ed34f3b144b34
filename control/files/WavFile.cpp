#include "files/WavFile.h"

#include <algorithm>

#include "engine/SampleFormat.h"
#include "files/RiffChunks.h"
#include "files/WaveFormatRecord.h"

namespace kora486 {

namespace {

const uint32_t WaveForm = FourCC('W', 'A', 'V', 'E');
const uint32_t FmtId = FourCC('f', 'm', 't', ' ');
const uint32_t FactId = FourCC('f', 'a', 'c', 't');
const uint32_t DataId = FourCC('d', 'a', 't', 'a');

bool WriteAll(MmioFile& file, const void* bytes, size_t count) {
    return file.Write(bytes, static_cast<int32_t>(count)) == static_cast<int32_t>(count);
}

// The end of a chunk with its pad byte, in 64 bits so that no size can wrap it.
int64_t ChunkEnd(const ChunkInfo& chunk) {
    return int64_t{chunk.dataOffset} + chunk.size + (chunk.size & 1);
}

// A file written by another program may keep chunks after its data; they are written back
// after the data chunk whenever the data chunk is finished.
void RestoreTrailingChunks(MmioFile& file, const RecorderState& state, bool dataChanged) {
    if (dataChanged && !state.TrailingChunks.empty()) {
        file.Seek(ChunkEnd(state.DataChunk), SeekOrigin::Start);
        WriteAll(file, state.TrailingChunks.data(), state.TrailingChunks.size());
    }
}

}  // namespace

ErrorCode WriteWavHeader(MmioFile& file, RecorderState& state,
                         std::span<const uint8_t> formatRecord) {
    state.RiffChunk = {};
    state.RiffChunk.formType = WaveForm;
    state.FmtChunk = {FmtId};
    state.FactChunk = {FactId};
    state.DataChunk = {DataId};
    state.TrailingChunks.clear();

    const bool pcm = formatRecord.size() >= 2 && ReadLe16(formatRecord.data()) == WaveFormatPcm;
    if (CreateChunk(file, state.RiffChunk, true) != 0 ||
        CreateChunk(file, state.FmtChunk, false) != 0 ||
        !WriteAll(file, formatRecord.data(), formatRecord.size()) ||
        AscendChunk(file, state.FmtChunk) != 0) {
        return ErrFileWrite;
    }
    if (!pcm) {
        const uint8_t zero[4] = {};
        if (CreateChunk(file, state.FactChunk, false) != 0 || !WriteAll(file, zero, 4) ||
            AscendChunk(file, state.FactChunk) != 0) {
            return ErrFileWrite;
        }
    }
    if (CreateChunk(file, state.DataChunk, false) != 0) {
        return ErrFileWrite;
    }
    state.HasFactChunk = pcm ? 0 : 1;
    return ErrNone;
}

ErrorCode ReadWavHeader(MmioFile& file, RecorderState& state, WavHeader& header) {
    header = {};
    state.TrailingChunks.clear();
    const int64_t length = file.Seek(0, SeekOrigin::End);
    if (length < 0 || file.Seek(0, SeekOrigin::Start) != 0) {
        return ErrNotWave;
    }

    state.RiffChunk = {};
    state.RiffChunk.formType = WaveForm;
    if (DescendChunk(file, state.RiffChunk, nullptr, ChunkSearch::RiffByForm) != 0) {
        return ErrNotWave;
    }

    state.FmtChunk = {FmtId};
    if (DescendChunk(file, state.FmtChunk, &state.RiffChunk, ChunkSearch::ById) != 0 ||
        state.FmtChunk.size > length - int64_t{state.FmtChunk.dataOffset}) {
        return ErrNotWave;  // a body the file cannot hold is never allocated
    }
    header.formatBody.resize(state.FmtChunk.size);
    if (file.Read(header.formatBody.data(), static_cast<int32_t>(state.FmtChunk.size)) !=
            static_cast<int32_t>(state.FmtChunk.size) ||
        AscendChunk(file, state.FmtChunk) != 0) {
        return ErrNotWave;
    }
    const int64_t afterFmt = file.Seek(0, SeekOrigin::Current);

    state.FactChunk = {FactId};
    if (DescendChunk(file, state.FactChunk, &state.RiffChunk, ChunkSearch::ById) == 0) {
        uint8_t value[4];
        if (file.Read(value, 4) != 4 || AscendChunk(file, state.FactChunk) != 0) {
            return ErrNotWave;
        }
        header.hasFact = true;
        if (state.FactChunk.size < 4) {
            return ErrNotWave;  // the value would be read from the next chunk's header
        }
        header.factValue = ReadLe32(value);
    } else if (file.Seek(afterFmt, SeekOrigin::Start) != afterFmt) {
        return ErrNotWave;
    }
    state.HasFactChunk = header.hasFact ? 1 : 0;

    state.DataChunk = {DataId};
    if (DescendChunk(file, state.DataChunk, &state.RiffChunk, ChunkSearch::ById) != 0) {
        return ErrNotWave;
    }
    // A file cut short (an interrupted download, a recording ended by a crash) claims more data
    // than it holds; only the bytes that are there are sound.
    const int64_t present = std::max<int64_t>(0, length - state.DataChunk.dataOffset);
    if (state.DataChunk.size > present) {
        state.DataChunk.size = static_cast<uint32_t>(present);
    }
    const int64_t riffEnd =
        std::min<int64_t>(length, int64_t{state.RiffChunk.dataOffset} + state.RiffChunk.size);
    const int64_t dataEnd = ChunkEnd(state.DataChunk);
    if (riffEnd > dataEnd) {
        state.TrailingChunks.resize(static_cast<size_t>(riffEnd - dataEnd));
        if (file.Seek(dataEnd, SeekOrigin::Start) != dataEnd ||
            file.Read(state.TrailingChunks.data(), static_cast<int32_t>(riffEnd - dataEnd)) !=
                riffEnd - dataEnd) {
            return ErrNotWave;
        }
    }
    const int64_t end = int64_t{state.DataChunk.dataOffset} + state.DataChunk.size;
    if (file.Seek(end, SeekOrigin::Start) != end) {
        return ErrNotWave;
    }
    return ErrNone;
}

ErrorCode AcceptUncompressedFormat(const WavHeader& header, RecorderState& state) {
    WaveFormatEx format = DecodeWaveFormat(header.formatBody);
    format.cbSize = 0;
    if (!IsAcceptedSampleRate(format.samplesPerSec) || format.blockAlign == 0 ||
        format.channels == 0) {
        return ErrFormatUnusable;
    }
    state.WaveFormat = format;
    const uint32_t present = state.DataChunk.size / format.blockAlign;
    // The fact value counts the frames even where the data size says otherwise, but never
    // frames that are not in the file.
    const uint32_t frames = header.hasFact ? std::min(header.factValue, present) : present;
    state.NumSamples = static_cast<int32_t>(std::min<uint32_t>(frames, INT32_MAX));
    return ErrNone;
}

bool IsCompleteFormatBody(std::span<const uint8_t> body) {
    return body.size() >= WaveFormatExSize &&
           body.size() >= WaveFormatExSize + size_t{ReadLe16(body.data() + 16)};
}

int64_t DataBytesOfFrames(const RecorderState& state, int64_t frames) {
    // Compressed files count whole codec blocks; they take their arithmetic from the codec
    // manager's file format once it is set up.
    return FrameArithmetic::Uncompressed(state.WaveFormat).FramesToBytes(frames);
}

void FinishRecordingFile(MmioFile& file, RecorderState& state, bool dataOnly) {
    const int64_t end =
        state.DataChunk.dataOffset + DataBytesOfFrames(state, state.NumSamples.load());
    file.Seek(end, SeekOrigin::Start);
    if (dataOnly) {
        state.DataChunk.size = static_cast<uint32_t>(end);
    } else {
        const bool dataChanged = (state.DataChunk.flags & ChunkDirty) != 0;
        AscendChunk(file, state.DataChunk);
        RestoreTrailingChunks(file, state, dataChanged);
        AscendChunk(file, state.RiffChunk);
        file.Seek(0, SeekOrigin::Start);
        state.RiffChunk = {};
        state.RiffChunk.formType = WaveForm;
        DescendChunk(file, state.RiffChunk, nullptr, ChunkSearch::RiffByForm);
        state.DataChunk = {DataId};
        DescendChunk(file, state.DataChunk, &state.RiffChunk, ChunkSearch::ById);
    }
    file.Seek(
        state.DataChunk.dataOffset + DataBytesOfFrames(state, state.CurrentSamplePosition.load()),
        SeekOrigin::Start);
    // Between recordings the file on disk is whole: its sizes match the sound written.
    file.Flush();
}

void FixUpWavFileForClose(MmioFile& file, RecorderState& state, bool playOnly) {
    // The data ends at frame NumSamples, wherever the last write stopped: a recording that
    // overwrote the middle of the file and was closed before its fix-up keeps its tail.
    file.Seek(state.DataChunk.dataOffset + DataBytesOfFrames(state, state.NumSamples.load()),
              SeekOrigin::Start);
    const bool dataChanged = (state.DataChunk.flags & ChunkDirty) != 0;
    AscendChunk(file, state.DataChunk);

    if (state.HasFactChunk != 0 && !playOnly) {
        file.Seek(int64_t{state.RiffChunk.dataOffset} + 4, SeekOrigin::Start);
        state.FactChunk = {FactId};
        if (DescendChunk(file, state.FactChunk, &state.RiffChunk, ChunkSearch::ById) == 0) {
            uint8_t value[4];
            WriteLe32(value, static_cast<uint32_t>(state.NumSamples.load()));
            WriteAll(file, value, 4);
            AscendChunk(file, state.FactChunk);
        }
    }
    // Whatever the fact step did, the RIFF chunk ends behind the data chunk.
    file.Seek(ChunkEnd(state.DataChunk), SeekOrigin::Start);
    RestoreTrailingChunks(file, state, dataChanged);
    AscendChunk(file, state.RiffChunk);
}

}  // namespace kora486
