#include "engine/SampleFormat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kora486 {
namespace {

TEST(SampleFormatTest, AcceptsOnlyTheFiveCodes) {
    for (const int32_t code : {8, 16, 100, 106, 107}) {
        EXPECT_TRUE(IsSampleFormatCode(code)) << code;
    }
    // 65544 and -65528 share their low 16 bits with 8: the check must see all 32.
    for (const int32_t code : {0, 1, 4, 24, 32, 101, 105, 108, -8, 65544, -65528}) {
        EXPECT_FALSE(IsSampleFormatCode(code)) << code;
    }
}

TEST(SampleFormatTest, AcceptsOnlyTheTwelveRates) {
    for (const int32_t rate : SampleRateList) {
        EXPECT_TRUE(IsAcceptedSampleRate(rate)) << rate;
    }
    for (const int64_t rate :
         {int64_t{0}, int64_t{-44100}, int64_t{44099}, int64_t{44101}, int64_t{12000},
          int64_t{24000}, int64_t{384000}, int64_t{44100} + (int64_t{1} << 32)}) {
        EXPECT_FALSE(IsAcceptedSampleRate(rate)) << rate;
    }
}

struct FormatCase {
    SampleFormatCode code;
    uint16_t channels;
    uint32_t rate;
    WaveFormatEx file;    // tag, channels, rate, avg bytes, block align, bits, cbSize
    WaveFormatEx device;  // what the sound device is opened with
};

const FormatCase FormatCases[] = {
    {FormatPcm8, 1, 8000, {1, 1, 8000, 8000, 1, 8, 0}, {1, 1, 8000, 8000, 1, 8, 0}},
    {FormatPcm8, 2, 22050, {1, 2, 22050, 44100, 2, 8, 0}, {1, 2, 22050, 44100, 2, 8, 0}},
    {FormatPcm16, 2, 44100, {1, 2, 44100, 176400, 4, 16, 0}, {1, 2, 44100, 176400, 4, 16, 0}},
    {FormatPcm16, 1, 192000, {1, 1, 192000, 384000, 2, 16, 0}, {1, 1, 192000, 384000, 2, 16, 0}},
    {FormatALaw, 2, 44100, {6, 2, 44100, 88200, 2, 8, 0}, {1, 2, 44100, 176400, 4, 16, 0}},
    {FormatALaw, 1, 8000, {6, 1, 8000, 8000, 1, 8, 0}, {1, 1, 8000, 16000, 2, 16, 0}},
    {FormatMuLaw, 1, 8000, {7, 1, 8000, 8000, 1, 8, 0}, {1, 1, 8000, 16000, 2, 16, 0}},
    {FormatMuLaw, 2, 96000, {7, 2, 96000, 192000, 2, 8, 0}, {1, 2, 96000, 384000, 4, 16, 0}},
};

TEST(SampleFormatTest, BuildsFileAndDeviceFormatsOfEachCode) {
    for (const FormatCase& c : FormatCases) {
        SCOPED_TRACE(testing::Message()
                     << "code " << c.code << ", " << c.channels << " ch, " << c.rate);
        const WaveFormatEx file = BuildWaveFormat(c.code, c.channels, c.rate);
        EXPECT_EQ(file, c.file);
        EXPECT_EQ(BuildDeviceFormat(file), c.device);
        // Reopening the file must give back the code it was made from.
        EXPECT_EQ(SampleFormatCodeOfTag(file), c.code);
    }
}

TEST(SampleFormatTest, DeviceFormatOfACompressedFileIsItsOwn) {
    const WaveFormatEx mp3{WaveFormatMpegLayer3, 2, 44100, 16000, 1, 0, 12};
    EXPECT_EQ(BuildDeviceFormat(mp3), mp3);
}

TEST(SampleFormatTest, CodeOfAnExistingFileFollowsItsTag) {
    struct Case {
        uint16_t tag;
        uint16_t bits;
        int32_t code;
    };
    const Case cases[] = {
        {1, 8, 8},
        {1, 16, 16},
        {6, 8, 106},
        {7, 8, 107},
        {0x55, 0, 100},
        {2, 4, 100},
        {0x11, 4, 100},
        // Other PCM widths come through unchanged so the opener can refuse them.
        {1, 24, 24},
        {1, 32, 32},
    };
    for (const Case& c : cases) {
        WaveFormatEx format;
        format.formatTag = c.tag;
        format.bitsPerSample = c.bits;
        EXPECT_EQ(SampleFormatCodeOfTag(format), c.code) << "tag " << c.tag << " bits " << c.bits;
    }
}

TEST(SampleFormatTest, RoundHalfUpTruncatesTowardZeroAfterAddingAHalf) {
    struct Case {
        double x;
        int64_t rounded;
    };
    const Case cases[] = {
        {0.0, 0},
        {0.49, 0},
        {0.5, 1},
        {1.5, 2},
        {2.5, 3},
        {16000.0, 16000},
        // Truncation, not floor: the sum -0.2 becomes 0 and -1.1 becomes -1.
        {-0.5, 0},
        {-0.7, 0},
        {-1.5, -1},
        {-1.6, -1},
        {-2.6, -2},
        {std::nan(""), 0},
        {1e300, std::numeric_limits<int64_t>::max()},
        {-1e300, std::numeric_limits<int64_t>::min()},
        {std::numeric_limits<double>::infinity(), std::numeric_limits<int64_t>::max()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RoundHalfUp(c.x), c.rounded) << c.x;
    }
}

TEST(FrameArithmeticTest, ConvertsBetweenFramesAndBytes) {
    const WaveFormatEx pcm16Stereo = BuildWaveFormat(FormatPcm16, 2, 44100);
    const WaveFormatEx alawStereo = BuildWaveFormat(FormatALaw, 2, 44100);
    const WaveFormatEx pcm8Mono = BuildWaveFormat(FormatPcm8, 1, 8000);
    const WaveFormatEx mp3{WaveFormatMpegLayer3, 2, 44100, 16000, 1, 0, 12};  // 2.75625
    const WaveFormatEx imaAdpcm{0x11, 1, 22050, 11100, 512, 4, 2};            // 1017.08...
    const WaveFormatEx gsm{0x31, 1, 8000, 1625, 65, 0, 2};                    // 320
    const WaveFormatEx noBlockAlign{1, 2, 44100, 176400, 0, 16, 0};
    const WaveFormatEx noByteRate{0x55, 2, 44100, 0, 1, 0, 12};
    const WaveFormatEx noBlockAlignCompressed{0x55, 2, 44100, 16000, 0, 0, 12};
    // Nonsense, but representable: a minute number of samples per block.
    const WaveFormatEx absurd{0x55, 1, 1, 0xFFFFFFFF, 0xFFFF, 0, 0};

    struct Case {
        const char* name;
        WaveFormatEx format;
        bool compressed;
        int64_t frames;
        int64_t bytesOfFrames;
        int64_t bytes;
        int64_t framesOfBytes;
    };
    const Case cases[] = {
        {"pcm16 stereo", pcm16Stereo, false, 4410, 17640, 17640, 4410},
        {"pcm16 stereo, partial frame dropped", pcm16Stereo, false, 1, 4, 17643, 4410},
        {"alaw stereo", alawStereo, false, 4410, 8820, 8820, 4410},
        {"pcm8 mono", pcm8Mono, false, 8000, 8000, 7999, 7999},
        {"mp3 one second", mp3, true, 44100, 16000, 16000, 44100},
        {"mp3 rounds frames to blocks", mp3, true, 159, 58, 64, 176},
        {"mp3 nothing", mp3, true, 0, 0, 0, 0},
        {"ima adpcm, just under half a block", imaAdpcm, true, 508, 0, 512, 1017},
        {"ima adpcm, just over half a block", imaAdpcm, true, 509, 512, 1024, 2034},
        {"gsm, exactly half a block rounds up", gsm, true, 160, 65, 65, 320},
        {"gsm, under half a block", gsm, true, 159, 0, 130, 640},
        {"zero block align", noBlockAlign, false, 4410, 0, 17640, 0},
        {"zero average bytes", noByteRate, true, 4410, 0, 17640, 0},
        {"zero compressed block align", noBlockAlignCompressed, true, 4410, 0, 17640, 0},
        {"absurd format saturates", absurd, true, int64_t{1} << 50,
         std::numeric_limits<int64_t>::max(), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FrameArithmetic arithmetic = c.compressed ? FrameArithmetic::Compressed(c.format)
                                                        : FrameArithmetic::Uncompressed(c.format);
        EXPECT_EQ(arithmetic.IsCompressed(), c.compressed);
        EXPECT_EQ(arithmetic.FramesToBytes(c.frames), c.bytesOfFrames);
        EXPECT_EQ(arithmetic.BytesToFrames(c.bytes), c.framesOfBytes);
    }
}

TEST(FrameArithmeticTest, SamplesPerBlockOfCompressedFormats) {
    EXPECT_DOUBLE_EQ(SamplesPerBlock({0x55, 2, 44100, 16000, 1, 0, 12}), 2.75625);
    EXPECT_DOUBLE_EQ(SamplesPerBlock({0x31, 1, 8000, 1625, 65, 0, 2}), 320.0);
    EXPECT_EQ(SamplesPerBlock({0x55, 2, 44100, 0, 1, 0, 12}), 0.0);
}

TEST(FrameArithmeticTest, ALawDeviceBufferBecomesHalfAsManyFileBytes) {
    const WaveFormatEx file = BuildWaveFormat(FormatALaw, 2, 44100);
    const WaveFormatEx device = BuildDeviceFormat(file);
    // 0.1 s of 16-bit stereo from the device.
    const int64_t deviceBytes = 17640;
    ASSERT_EQ(deviceBytes, device.avgBytesPerSec / 10);

    const int64_t frames = FrameArithmetic::Uncompressed(device).BytesToFrames(deviceBytes);
    EXPECT_EQ(frames, 4410);
    EXPECT_EQ(FrameArithmetic::Uncompressed(file).FramesToBytes(frames), 8820);
    EXPECT_EQ(FrameArithmetic::Uncompressed(file).BytesToFrames(8820), 4410);
    // The same count from the device buffer: bytes / the file's block align, halved.
    EXPECT_EQ(deviceBytes / file.blockAlign / 2, 4410);
}

}  // namespace
}  // namespace kora486
