#include "files/WavFile.h"

#include <gtest/gtest.h>

#include "engine/SampleFormat.h"
#include "files/MemoryMmioFile.h"
#include "files/WaveFormatRecord.h"
#include "support/WavBuilder.h"

namespace kora486 {
namespace {

using testing::Le32At;
using testing::TextAt;

// A new file in memory with frames of sound appended as the engine writes them.
struct NewFile {
    explicit NewFile(SampleFormatCode code, uint16_t channels, uint32_t rate) {
        state.WaveFormat = BuildWaveFormat(code, channels, rate);
        EXPECT_EQ(WriteWavHeader(file, state, EncodeWaveFormat(state.WaveFormat)), ErrNone);
    }

    void Append(int32_t frames, uint8_t value) {
        const std::vector<uint8_t> bytes(static_cast<size_t>(frames) * state.WaveFormat.blockAlign,
                                         value);
        file.Seek(state.DataChunk.dataOffset + DataBytesOfFrames(state, state.NumSamples),
                  SeekOrigin::Start);
        file.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
        state.NumSamples += frames;
        state.CurrentSamplePosition = state.NumSamples.load();
        state.DataChunk.flags |= ChunkDirty;
        state.RiffChunk.flags |= ChunkDirty;
    }

    RecorderState state;
    MemoryMmioFile file;
};

TEST(WavFile, OddEightBitDataGetsItsPadByte) {
    NewFile f(FormatPcm8, 1, 8000);
    f.Append(3, 200);
    FinishRecordingFile(f.file, f.state, false);
    auto bytes = f.file.Bytes();
    ASSERT_EQ(bytes.size(), 46u + 3 + 1);
    EXPECT_EQ(Le32At(bytes, 42), 3u) << "the data size stays odd";
    EXPECT_EQ(Le32At(bytes, 4), 42u) << "the RIFF size counts the pad byte";
    EXPECT_EQ(bytes.back(), 0);
    EXPECT_EQ(f.state.DataChunk.size, 3u) << "found again with its new size";
    EXPECT_EQ(f.file.Position(), 46 + 3);

    // A second stretch goes on over the pad byte; the close puts it back.
    f.Append(2, 100);
    FixUpWavFileForClose(f.file, f.state, false);
    bytes = f.file.Bytes();
    ASSERT_EQ(bytes.size(), 46u + 5 + 1);
    EXPECT_EQ(Le32At(bytes, 42), 5u);
    EXPECT_EQ(Le32At(bytes, 4), 44u);
    EXPECT_EQ(bytes[46 + 3], 100);
}

TEST(WavFile, SizesOnDiskChangeOnlyAtTheFixUps) {
    NewFile f(FormatALaw, 2, 8000);
    f.Append(1000, 0xD5);
    EXPECT_EQ(Le32At(f.file.Bytes(), 54), 0u) << "a recording in progress leaves the sizes";
    FinishRecordingFile(f.file, f.state, false);
    EXPECT_EQ(Le32At(f.file.Bytes(), 54), 2000u);
    EXPECT_EQ(Le32At(f.file.Bytes(), 46), 0u) << "the fact value waits for the close";

    FixUpWavFileForClose(f.file, f.state, true);
    EXPECT_EQ(Le32At(f.file.Bytes(), 46), 0u) << "play-only files keep their fact value";
    FixUpWavFileForClose(f.file, f.state, false);
    EXPECT_EQ(Le32At(f.file.Bytes(), 46), 1000u);
    EXPECT_EQ(Le32At(f.file.Bytes(), 4), 50u + 2000u);
}

TEST(WavFile, FinishingLeavesTheFileAtTheCurrentPosition) {
    NewFile f(FormatPcm16, 2, 8000);
    f.Append(100, 1);
    f.state.CurrentSamplePosition = 40;
    FinishRecordingFile(f.file, f.state, false);
    EXPECT_EQ(f.file.Position(), 46 + 40 * 4);

    RecorderState dataOnly;
    dataOnly.WaveFormat = BuildWaveFormat(FormatPcm16, 1, 8000);
    dataOnly.NumSamples = 300;
    dataOnly.CurrentSamplePosition = 10;
    MemoryMmioFile raw(std::vector<uint8_t>(600, 0));
    FinishRecordingFile(raw, dataOnly, true);
    EXPECT_EQ(dataOnly.DataChunk.size, 600u);
    EXPECT_EQ(raw.Position(), 20);
}

TEST(WavFile, FormatBodyCompleteness) {
    struct Case {
        size_t size;
        uint16_t cbSize;
        bool complete;
    };
    const Case cases[] = {{0, 0, false},  {17, 0, false}, {18, 0, true},
                          {18, 2, false}, {20, 2, true},  {50, 2, true}};
    for (const Case& c : cases) {
        std::vector<uint8_t> body(c.size, 0);
        if (c.size >= 18) {
            WriteLe16(body.data() + 16, c.cbSize);
        }
        EXPECT_EQ(IsCompleteFormatBody(body), c.complete) << c.size << " " << c.cbSize;
    }
}

}  // namespace
}  // namespace kora486
