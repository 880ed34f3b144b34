#include "files/DeleteSound.h"

#include <gtest/gtest.h>

#include "engine/SampleFormat.h"
#include "files/MemoryMmioFile.h"
#include "files/WavFile.h"
#include "support/WavBuilder.h"

namespace kora486 {
namespace {

using testing::Le32At;
using testing::TextAt;
using testing::WavBuilder;

// The layout of a PCM file with an 18-byte "fmt " body.
constexpr size_t DataSizeAt = 42;
constexpr size_t DataAt = 46;
constexpr uint32_t RiffSizeOfHeader = 38;

// Frame i of a 16-bit mono file holds the value i.
std::vector<uint8_t> Frames16(int first, int count) {
    std::vector<uint8_t> data;
    for (int i = first; i < first + count; ++i) {
        WavBuilder::Put16(data, static_cast<uint16_t>(i));
    }
    return data;
}

std::vector<uint8_t> Mono16Wav(int frames, const std::vector<uint8_t>& trailing = {}) {
    return WavBuilder()
        .Riff()
        .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 16))
        .Chunk("data", Frames16(0, frames))
        .Raw(trailing)
        .Bytes();
}

// An open WAV file in memory, read as the control opens it and positioned at `position`.
struct OpenWav {
    OpenWav(std::vector<uint8_t> bytes, int32_t position) : file(std::move(bytes)) {
        WavHeader header;
        EXPECT_EQ(ReadWavHeader(file, state, header), ErrNone);
        EXPECT_EQ(AcceptUncompressedFormat(header, state), ErrNone);
        state.CurrentSamplePosition = position;
    }

    // The data as the file's own sizes describe it now.
    std::vector<uint8_t> Data() const {
        const auto& bytes = file.Bytes();
        const uint32_t size = Le32At(bytes, DataSizeAt);
        return {bytes.begin() + DataAt, bytes.begin() + DataAt + size};
    }

    RecorderState state;
    MemoryMmioFile file;
};

TEST(DeleteSound, CutsMoveTheFollowingFramesForwardAndKeepTheFileLength) {
    const int32_t pieceFrames = EditPieceBytes / 2;
    struct Case {
        const char* name;
        int total;
        int32_t position;
        int32_t frames;
        int remaining;
    };
    const Case cases[] = {
        {"in the middle", 1000, 200, 100, 900},
        {"exactly to the end", 1000, 200, 800, 200},
        {"past the end", 1000, 200, 5000, 200},
        {"at the end", 1000, 1000, 50, 1000},
        {"at the start", 1000, 0, 1, 999},
        {"a tail of several pieces", 3 * pieceFrames + 7, 10, 5, 3 * pieceFrames + 2},
        {"nothing", 1000, 200, 0, 1000},
        {"a negative count", 1000, 200, -5, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OpenWav wav(Mono16Wav(c.total), c.position);
        const auto before = wav.file.Bytes();
        ASSERT_EQ(DeleteFrames(wav.file, wav.state, c.frames, false), ErrNone);
        if (c.frames <= 0) {
            EXPECT_TRUE(wav.file.Bytes() == before) << "nothing is written";
            EXPECT_EQ(wav.state.NumSamples.load(), c.total);
            continue;
        }

        EXPECT_EQ(wav.state.NumSamples.load(), c.remaining);
        EXPECT_EQ(wav.state.CurrentSamplePosition.load(), c.position);
        EXPECT_EQ(wav.file.Bytes().size(), before.size())
            << "the file keeps its length until a repack";
        std::vector<uint8_t> expected = Frames16(0, c.position);
        const auto after = Frames16(c.total - (c.remaining - c.position), c.remaining - c.position);
        expected.insert(expected.end(), after.begin(), after.end());
        EXPECT_TRUE(wav.Data() == expected);
        EXPECT_EQ(Le32At(wav.file.Bytes(), 4), RiffSizeOfHeader + 2u * c.remaining);
        EXPECT_EQ(wav.state.DataChunk.size, 2u * c.remaining) << "the descriptor was found again";
        EXPECT_EQ(wav.file.Position(), DataAt + 2 * c.position);
    }
}

TEST(DeleteSound, ChunksAfterTheDataFollowItInsideTheRiffChunk) {
    const std::vector<uint8_t> list = {'L', 'I', 'S', 'T', 6,   0,   0,
                                       0,   'I', 'N', 'F', 'O', 'a', 'b'};
    OpenWav wav(Mono16Wav(1000, list), 200);
    ASSERT_EQ(DeleteFrames(wav.file, wav.state, 101, false), ErrNone);

    const auto& bytes = wav.file.Bytes();
    const size_t dataEnd = DataAt + 2 * 899;
    EXPECT_EQ(TextAt(bytes, dataEnd), "LIST");
    EXPECT_TRUE(std::equal(list.begin(), list.end(), bytes.begin() + dataEnd));
    EXPECT_EQ(Le32At(bytes, 4), dataEnd + list.size() - 8) << "the RIFF chunk holds the LIST";

    // The file reads back as the same sound with the same trailing chunk.
    OpenWav again(bytes, 0);
    EXPECT_EQ(again.state.NumSamples.load(), 899);
    EXPECT_TRUE(again.state.TrailingChunks == list);
}

TEST(DeleteSound, OddDataGetsItsPadByteBeforeTheTrailingChunks) {
    const std::vector<uint8_t> junk = {'J', 'U', 'N', 'K', 2, 0, 0, 0, 7, 7};
    const auto bytes = WavBuilder()
                           .Riff()
                           .Chunk("fmt ", WavBuilder::Format(1, 1, 8000, 8))
                           .Chunk("data", std::vector<uint8_t>(100, 5))
                           .Raw(junk)
                           .Bytes();
    OpenWav wav(bytes, 10);
    ASSERT_EQ(DeleteFrames(wav.file, wav.state, 1, false), ErrNone);
    const auto& after = wav.file.Bytes();
    EXPECT_EQ(Le32At(after, DataSizeAt), 99u);
    EXPECT_EQ(after[DataAt + 99], 0) << "pad byte";
    EXPECT_EQ(TextAt(after, DataAt + 100), "JUNK");
    EXPECT_EQ(Le32At(after, 4), RiffSizeOfHeader + 100 + junk.size());
}

TEST(DeleteSound, DataOnlyFilesShortenTheirData) {
    RecorderState state;
    state.WaveFormat = BuildWaveFormat(FormatPcm16, 1, 8000);
    MemoryMmioFile file(Frames16(0, 1000));
    state.DataChunk.size = 2000;
    state.NumSamples = 1000;
    state.CurrentSamplePosition = 200;
    ASSERT_EQ(DeleteFrames(file, state, 100, true), ErrNone);
    EXPECT_EQ(state.NumSamples.load(), 900);
    EXPECT_EQ(state.DataChunk.size, 1800u);
    EXPECT_EQ(file.Bytes().size(), 2000u);
    std::vector<uint8_t> expected = Frames16(0, 200);
    const auto after = Frames16(300, 700);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.Bytes().begin()));
}

// A file whose writes fail once `writable` bytes have been written.
class FailingWrites final : public MmioFile {
public:
    FailingWrites(MemoryMmioFile& inner, int64_t writable) : inner_(inner), left_(writable) {}
    int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner_.Seek(offset, origin); }
    int32_t Read(void* data, int32_t count) override { return inner_.Read(data, count); }
    int32_t Write(const void* data, int32_t count) override {
        if (count > left_) {
            return -1;
        }
        left_ -= count;
        return inner_.Write(data, count);
    }

private:
    MemoryMmioFile& inner_;
    int64_t left_;
};

TEST(DeleteSound, AFailedMoveIsReportedAndLeavesTheSizes) {
    const int total = EditPieceBytes;  // two pieces of 16-bit frames
    OpenWav wav(Mono16Wav(total), 10);
    const auto before = wav.file.Bytes();
    FailingWrites failing(wav.file, EditPieceBytes);
    EXPECT_EQ(DeleteFrames(failing, wav.state, 5, false), ErrOperationFailed);
    EXPECT_EQ(wav.state.NumSamples.load(), total);
    EXPECT_EQ(Le32At(wav.file.Bytes(), DataSizeAt), Le32At(before, DataSizeAt));
    EXPECT_EQ(Le32At(wav.file.Bytes(), 4), Le32At(before, 4));
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + DataAt + 20, wav.file.Bytes().begin()))
        << "the frames before the cut are untouched";
}

}  // namespace
}  // namespace kora486
