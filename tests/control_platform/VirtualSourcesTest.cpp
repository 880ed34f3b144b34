#include "platform/VirtualSources.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "VirtualTestSupport.h"

namespace kora486 {
namespace {

using test::Pcm;
using test::SampleAt;

// Every sample of a filled block as a signed value: 16-bit as is, 8-bit minus 128.
std::vector<int32_t> Samples(const std::vector<uint8_t>& bytes, const WaveFormatEx& f) {
    std::vector<int32_t> out;
    if (f.bitsPerSample == 8) {
        for (uint8_t b : bytes) {
            out.push_back(b - 128);
        }
    } else {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            out.push_back(SampleAt(&bytes[i]));
        }
    }
    return out;
}

std::vector<uint8_t> Fill(InputSource& source, const WaveFormatEx& f, uint32_t bytes) {
    std::vector<uint8_t> data(bytes, 0xAA);
    source.Fill(data.data(), bytes, f);
    return data;
}

int32_t Peak(const std::vector<int32_t>& samples) {
    int32_t peak = 0;
    for (int32_t s : samples) {
        peak = std::max(peak, std::abs(s));
    }
    return peak;
}

TEST(SilenceSource, WritesTheSilenceValueOfEachSampleSize) {
    for (const auto& [format, value] : {std::pair{Pcm(8000, 1, 8), 128},
                                        {Pcm(44100, 2, 8), 128},
                                        {Pcm(8000, 1, 16), 0},
                                        {Pcm(48000, 2, 16), 0}}) {
        auto source = MakeSilenceSource();
        for (uint8_t b : Fill(*source, format, 100)) {
            ASSERT_EQ(b, value);
        }
    }
}

TEST(SineSource, HasTheAskedPeakAndFrequency) {
    const struct {
        WaveFormatEx format;
        double hz;
        double dbfs;
        int32_t peak;
    } cases[] = {
        {Pcm(48000, 1, 16), 1000, -12, 8231},  // round(32768 × 10^(-12/20))
        {Pcm(44100, 2, 16), 441, -6, 16423},  {Pcm(48000, 1, 16), 1000, 0, 32767},  // clipped
        {Pcm(8000, 1, 8), 1000, -6, 64},      {Pcm(22050, 2, 8), 100, 0, 127},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.hz << " Hz " << c.dbfs << " dBFS, " << c.format.bitsPerSample << "-bit");
        auto source = MakeSineSource(c.hz, c.dbfs);
        // One second in two calls: the phase must carry over.
        const uint32_t half = c.format.avgBytesPerSec / 2;
        auto bytes = Fill(*source, c.format, half);
        const auto second = Fill(*source, c.format, half);
        bytes.insert(bytes.end(), second.begin(), second.end());
        const auto samples = Samples(bytes, c.format);
        EXPECT_NEAR(Peak(samples), c.peak, 1);
        EXPECT_GE(*std::min_element(samples.begin(), samples.end()), -c.peak - 1);

        int rising = 0;
        const size_t channels = c.format.channels;
        for (size_t i = channels; i < samples.size(); i += channels) {
            rising += samples[i - channels] < 0 && samples[i] >= 0;
            if (channels == 2) {
                ASSERT_EQ(samples[i], samples[i + 1]);
            }
        }
        EXPECT_NEAR(rising, c.hz, 1);
    }
}

TEST(LevelsSource, EachBufferPeaksAtItsLevelInTurn) {
    const std::vector<float> levels = {-6.0f, -INFINITY, 0.0f, -9999.0f, -40.0f};
    for (const WaveFormatEx& format : {Pcm(44100, 2, 16), Pcm(8000, 1, 8)}) {
        SCOPED_TRACE(format.bitsPerSample);
        auto source = MakeLevelsSource(levels);
        for (size_t i = 0; i < 2 * levels.size(); ++i) {
            const auto samples = Samples(Fill(*source, format, 400), format);
            const int32_t peak =
                PeakSampleForLevel(levels[i % levels.size()], format.bitsPerSample);
            EXPECT_EQ(Peak(samples), peak) << "buffer " << i;
            // Every sample sits at the peak, on one side or the other.
            for (int32_t s : samples) {
                ASSERT_EQ(std::abs(s), peak);
            }
        }
    }
}

TEST(PeakSampleForLevel, FollowsTheDecibelScale) {
    const struct {
        double db;
        uint16_t bits;
        int32_t peak;
    } cases[] = {
        {0, 16, 32767}, {-6, 16, 16423},    {-20, 16, 3277}, {-90.31, 16, 1},
        {-9999, 16, 0}, {-INFINITY, 16, 0}, {NAN, 16, 0},    {+12, 16, 32767},
        {0, 8, 127},    {-6, 8, 64},        {-20, 8, 13},    {-60, 8, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PeakSampleForLevel(c.db, c.bits), c.peak) << c.db << " dB, " << c.bits << " bits";
    }
}

TEST(WavFileSource, LoopsTheFileAndConvertsToTheDeviceFormat) {
    test::TempDir dir;
    // Five stereo 16-bit frames at 4000 Hz, and three mono 8-bit frames at 8000 Hz.
    const WaveFormatEx stereo4k = Pcm(4000, 2, 16);
    const std::string stereoFile = dir.Write(
        "stereo.wav", test::WavImage(stereo4k, test::Le16({1000, 3000, 2000, -2000, -4000, -2000,
                                                           32767, 32767, -32768, -32768})));
    const std::string monoFile =
        dir.Write("mono.wav", test::WavImage(Pcm(8000, 1, 8), {0x10, 0x80, 0xF0}));

    const struct {
        const char* what;
        const std::string& path;
        WaveFormatEx device;
        std::vector<int32_t> expected;  // Samples() of 12 frames
    } cases[] = {
        {"same format, looped",
         stereoFile,
         stereo4k,
         {1000, 3000,  2000,  -2000, -4000, -2000, 32767,  32767,  -32768, -32768, 1000, 3000,
          2000, -2000, -4000, -2000, 32767, 32767, -32768, -32768, 1000,   3000,   2000, -2000}},
        // Stereo to mono averages the channels; at twice the rate each output frame takes the
        // nearest source frame (ties go to the later one).
        {"mono at 8000 Hz",
         stereoFile,
         Pcm(8000, 1, 16),
         {2000, 0, 0, -3000, -3000, 32767, 32767, -32768, -32768, 2000, 2000, 0}},
        // 16 to 8 bits keeps the high byte.
        {"8-bit stereo", stereoFile, Pcm(4000, 2, 8), {3,    11,   7,    -8,   -16, -8, 127, 127,
                                                       -128, -128, 3,    11,   7,   -8, -16, -8,
                                                       127,  127,  -128, -128, 3,   11, 7,   -8}},
        // 8-bit mono to 16-bit stereo at half the rate: every other frame of the loop.
        {"16-bit stereo at 4000 Hz",
         monoFile,
         Pcm(4000, 2, 16),
         {-28672, -28672, 28672, 28672, 0, 0, -28672, -28672, 28672, 28672, 0, 0,
          -28672, -28672, 28672, 28672, 0, 0, -28672, -28672, 28672, 28672, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        auto source = MakeWavFileSource(c.path, &error);
        ASSERT_TRUE(source) << error;
        // In two calls of unequal size: the position carries over.
        auto bytes = Fill(*source, c.device, 5 * c.device.blockAlign);
        const auto rest = Fill(*source, c.device, 7 * c.device.blockAlign);
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        const auto samples = Samples(bytes, c.device);
        EXPECT_EQ(samples, c.expected);
    }
}

TEST(WavFileSource, ExplainsAMissingOrBadFile) {
    test::TempDir dir;
    const std::string missing = dir.File("missing.wav");
    const std::string text = dir.Write("text.wav", {'h', 'e', 'l', 'l', 'o'});
    for (const std::string& path : {missing, text}) {
        std::string error;
        EXPECT_EQ(MakeWavFileSource(path, &error), nullptr);
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace kora486
