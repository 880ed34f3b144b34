#include "engine/ToneGenerator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "engine/G711.h"
#include "engine/SampleFormat.h"

namespace kora486 {
namespace {

int16_t Sample16(const std::vector<uint8_t>& bytes, size_t index) {
    int16_t value;
    std::memcpy(&value, bytes.data() + 2 * index, 2);
    return value;
}

TEST(ToneGeneratorTest, FramesAreTheTruncatedProductAndNothingBelowOne) {
    struct Case {
        double seconds;
        uint32_t rate;
        int32_t frames;
    };
    const Case cases[] = {
        {0.5, 44100, 22050},
        {1.0, 8000, 8000},
        {0.99999, 1, 0},
        {1e-6, 44100, 0},
        {0.0, 44100, 0},
        {-1.0, 44100, 0},
        {std::numeric_limits<double>::quiet_NaN(), 44100, 0},
        {1e12, 192000, INT32_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(ToneFrames(c.seconds, c.rate), c.frames);
    }
}

TEST(ToneGeneratorTest, SixteenBitStereoToneStartsAtZeroAndStaysWithinHalfScale) {
    const WaveFormatEx format = BuildWaveFormat(FormatPcm16, 2, 44100);
    std::vector<uint8_t> tone;
    RenderTone(format, 0, 22050, tone);
    ASSERT_EQ(tone.size(), 88200u);

    const int16_t first[] = {0, 2048, 4065, 6018};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Sample16(tone, 2 * i), first[i]) << "frame " << i;
        EXPECT_EQ(Sample16(tone, 2 * i + 1), first[i]) << "both channels alike";
    }
    int peak = 0;
    int rises = 0;  // upward zero crossings of the left channel
    for (size_t i = 0; i < 22050; ++i) {
        const int16_t left = Sample16(tone, 2 * i);
        peak = std::max(peak, std::abs(static_cast<int>(left)));
        if (i > 0 && Sample16(tone, 2 * (i - 1)) < 0 && left >= 0) {
            ++rises;
        }
    }
    EXPECT_LE(peak, 16383);
    EXPECT_GE(peak, 16300);
    // 0.5 s of 880 Hz: 440 periods of about 50.1 frames each.
    EXPECT_NEAR(rises, 440, 1);
}

TEST(ToneGeneratorTest, EightBitAndG711FormsFollowTheSixteenBitTone) {
    std::vector<uint8_t> pcm16;
    RenderTone(BuildWaveFormat(FormatPcm16, 1, 8000), 0, 8000, pcm16);

    std::vector<uint8_t> pcm8;
    RenderTone(BuildWaveFormat(FormatPcm8, 1, 8000), 0, 8000, pcm8);
    ASSERT_EQ(pcm8.size(), 8000u);
    EXPECT_EQ(pcm8[0], 128) << "silence level";
    EXPECT_EQ(*std::min_element(pcm8.begin(), pcm8.end()), 64);
    EXPECT_EQ(*std::max_element(pcm8.begin(), pcm8.end()), 192);

    for (const SampleFormatCode code : {FormatALaw, FormatMuLaw}) {
        std::vector<uint8_t> codes;
        RenderTone(BuildWaveFormat(code, 1, 8000), 0, 8000, codes);
        ASSERT_EQ(codes.size(), 8000u) << "one byte per sample: a 1 s tone adds 8000 bytes";
        for (size_t i = 0; i < codes.size(); ++i) {
            const int16_t linear = Sample16(pcm16, i);
            ASSERT_EQ(codes[i], code == FormatALaw ? LinearToALaw(linear) : LinearToMuLaw(linear))
                << "sample " << i;
        }
    }
}

TEST(ToneGeneratorTest, PiecesJoinIntoTheWholeTone) {
    const WaveFormatEx format = BuildWaveFormat(FormatPcm16, 2, 22050);
    std::vector<uint8_t> whole;
    RenderTone(format, 0, 1000, whole);
    std::vector<uint8_t> joined;
    std::vector<uint8_t> piece;
    for (int32_t first = 0; first < 1000; first += 300) {
        RenderTone(format, first, std::min(300, 1000 - first), piece);
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(joined, whole);
}

}  // namespace
}  // namespace kora486
