#include "files/MpegFrame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

namespace kora486 {

// Readable failure messages for whole-frame comparisons.
void PrintTo(const MpegFrameInfo& f, std::ostream* os) {
    *os << "{version " << f.version << ", layer " << f.layer << ", protection " << f.protection
        << ", bitRateIndex " << f.bitRateIndex << ", bitRate " << f.bitRate << ", samplingIndex "
        << f.samplingIndex << ", samplingRate " << f.samplingRate << ", padding " << f.padding
        << ", privateBit " << f.privateBit << ", channelMode " << f.channelMode
        << ", modeExtension " << f.modeExtension << ", copyright " << f.copyright << ", original "
        << f.original << ", emphasis " << f.emphasis << "}";
}

namespace {

// The four bytes of a frame header with the given fields; protection 1 means no CRC.
std::array<uint8_t, 4> Header(int version, int layer, int bitRateIndex, int samplingIndex,
                              int padding = 0, int channelMode = 0) {
    return {0xFF, static_cast<uint8_t>(0xE0 | version << 3 | layer << 1 | 1),
            static_cast<uint8_t>(bitRateIndex << 4 | samplingIndex << 2 | padding << 1),
            static_cast<uint8_t>(channelMode << 6)};
}

TEST(MpegFrameTest, BitRateAndSamplingRateTables) {
    constexpr std::array<int32_t, 15> lsfLow = {0,  8,  16, 24,  32,  40,  48, 56,
                                                64, 80, 96, 112, 128, 144, 160};
    constexpr std::array<int32_t, 15> lsfLayer1 = {0,   32,  48,  56,  64,  80,  96, 112,
                                                   128, 144, 160, 176, 192, 224, 256};
    struct Row {
        int32_t version;
        int32_t layer;
        std::array<int32_t, 15> kbps;
        std::array<int32_t, 3> rates;
    };
    const Row rows[] = {
        {MpegVersion1,
         MpegLayer1,
         {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {44100, 48000, 32000}},
        {MpegVersion1,
         MpegLayer2,
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {44100, 48000, 32000}},
        {MpegVersion1,
         MpegLayer3,
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
         {44100, 48000, 32000}},
        {MpegVersion2, MpegLayer1, lsfLayer1, {22050, 24000, 16000}},
        {MpegVersion2, MpegLayer2, lsfLow, {22050, 24000, 16000}},
        {MpegVersion2, MpegLayer3, lsfLow, {22050, 24000, 16000}},
        {MpegVersion25, MpegLayer1, lsfLayer1, {11025, 12000, 8000}},
        {MpegVersion25, MpegLayer2, lsfLow, {11025, 12000, 8000}},
        {MpegVersion25, MpegLayer3, lsfLow, {11025, 12000, 8000}},
    };
    for (const Row& row : rows) {
        for (int index = 0; index < 16; ++index) {
            for (int sampling = 0; sampling < 4; ++sampling) {
                SCOPED_TRACE(testing::Message()
                             << "version " << row.version << " layer " << row.layer
                             << " bit-rate index " << index << " sampling index " << sampling);
                const auto header = Header(row.version, row.layer, index, sampling);
                const MpegFrameInfo f = FindMpegFrame(header.data(), header.size());
                if (index == 15 || sampling == 3) {
                    EXPECT_EQ(f.version, MpegVersionReserved);
                    continue;
                }
                EXPECT_EQ(f.version, row.version);
                EXPECT_EQ(f.layer, row.layer);
                EXPECT_EQ(f.bitRateIndex, index);
                EXPECT_EQ(f.bitRate, row.kbps[index]);
                EXPECT_EQ(f.samplingIndex, sampling);
                EXPECT_EQ(f.samplingRate, row.rates[sampling]);
            }
        }
    }
}

TEST(MpegFrameTest, ReservedVersionAndLayerAreNeverTaken) {
    // Every third and fourth byte, so no bit-rate or sampling index can rescue the header.
    for (int b1 = 0xE0; b1 <= 0xFF; ++b1) {
        const int version = (b1 >> 3) & 3;
        const int layer = (b1 >> 1) & 3;
        if (version != MpegVersionReserved && layer != 0) {
            continue;
        }
        for (int b2 = 0; b2 < 256; ++b2) {
            for (const int b3 : {0x00, 0xFF}) {
                const uint8_t header[] = {0xFF, static_cast<uint8_t>(b1), static_cast<uint8_t>(b2),
                                          static_cast<uint8_t>(b3)};
                size_t offset = 0;
                ASSERT_EQ(FindMpegFrame(header, sizeof header, &offset).version,
                          MpegVersionReserved)
                    << "b1 " << b1 << " b2 " << b2;
                EXPECT_EQ(offset, sizeof header);
            }
        }
    }
}

TEST(MpegFrameTest, ExtractsEveryField) {
    struct Case {
        std::array<uint8_t, 4> bytes;
        MpegFrameInfo expected;
    };
    // Fields: version, layer, protection, bitRateIndex, bitRate, samplingIndex, samplingRate,
    // padding, privateBit, channelMode, modeExtension, copyright, original, emphasis.
    const Case cases[] = {
        {{0xFF, 0xFB, 0x90, 0x64}, {3, 1, 1, 9, 128, 0, 44100, 0, 0, 1, 2, 0, 1, 0}},
        {{0xFF, 0xF2, 0x8B, 0xCD}, {2, 1, 0, 8, 64, 2, 16000, 1, 1, 3, 0, 1, 1, 1}},
        {{0xFF, 0xE7, 0xE6, 0xBB}, {0, 3, 1, 14, 256, 1, 12000, 1, 0, 2, 3, 1, 0, 3}},
        {{0xFF, 0xFD, 0x0A, 0x00}, {3, 2, 1, 0, 0, 2, 32000, 1, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "b1 " << int{c.bytes[1]});
        size_t offset = 99;
        EXPECT_EQ(FindMpegFrame(c.bytes.data(), c.bytes.size(), &offset), c.expected);
        EXPECT_EQ(offset, 0u);
    }
}

TEST(MpegFrameTest, SkipsFalseSyncsBeforeTheFirstGoodHeader) {
    struct Case {
        const char* what;
        std::vector<uint8_t> before;
        size_t offset;
    };
    const Case cases[] = {
        {"reserved layer", {0xFF, 0xE0, 0x90, 0x00}, 4},
        {"reserved version", {0xFF, 0xEB, 0x90, 0x00}, 4},
        {"bit-rate index 15", {0xFF, 0xFB, 0xF0, 0x00}, 4},
        {"sampling index 3", {0xFF, 0xFB, 0x9C, 0x00}, 4},
        {"two sync bits in the second byte", {0xFF, 0xDB, 0x90, 0x00}, 4},
        {"no sync byte", {0xFE, 0xFB, 0x90, 0x00}, 4},
        {"all of them",
         {0xFF, 0xE0, 0x90, 0x00, 0xFF, 0xEB, 0x90, 0x00, 0xFF, 0xFB,
          0xF0, 0x00, 0xFF, 0xFB, 0x9C, 0x00, 0xFF, 0xDB, 0x90, 0x00},
         20},
        // FF FF FB 90 reads as Layer I with bit-rate index 15; the real header is one byte on.
        {"sync byte just before", {0xFF}, 1},
        {"a bad header overlapping the good one", {0xFF, 0xE0}, 2},
        {"nothing", {}, 0},
    };
    const auto good = Header(MpegVersion1, MpegLayer3, 9, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = c.before;
        bytes.insert(bytes.end(), good.begin(), good.end());
        size_t offset = 0;
        const MpegFrameInfo f = FindMpegFrame(bytes.data(), bytes.size(), &offset);
        EXPECT_EQ(offset, c.offset);
        EXPECT_EQ(f.version, MpegVersion1);
        EXPECT_EQ(f.layer, MpegLayer3);
        EXPECT_EQ(f.bitRate, 128);
        EXPECT_EQ(f.samplingRate, 44100);
    }
}

TEST(MpegFrameTest, HeaderMustEndInsideTheBuffer) {
    struct Case {
        size_t start;
        size_t n;
        bool found;
    };
    const Case cases[] = {
        {0, 4, true}, {0, 3, false}, {1996, 2000, true}, {1997, 2000, false}, {1997, 2001, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "header at " << c.start << " of " << c.n);
        std::vector<uint8_t> bytes(2001, 0);
        const auto header = Header(MpegVersion1, MpegLayer3, 9, 0);
        std::copy(header.begin(), header.end(), bytes.begin() + c.start);
        size_t offset = 0;
        const MpegFrameInfo f = FindMpegFrame(bytes.data(), c.n, &offset);
        EXPECT_EQ(f.version, c.found ? MpegVersion1 : MpegVersionReserved);
        EXPECT_EQ(offset, c.found ? c.start : c.n);
    }
    size_t offset = 1;
    EXPECT_EQ(FindMpegFrame(nullptr, 0, &offset).version, MpegVersionReserved);
    EXPECT_EQ(offset, 0u);
}

TEST(MpegFrameTest, BuildsTheLayer3FormatRecord) {
    using Record = std::array<uint8_t, MpegLayer3FormatSize>;
    struct Case {
        const char* what;
        std::array<uint8_t, 4> header;
        Record expected;
    };
    // Tag, channels, rate, bytes per second, align, bits, cbSize; wID, flags, block size,
    // frames per block, codec delay.
    const Case cases[] = {
        {"MPEG-1 128 kbit/s 44100 Hz stereo",
         Header(MpegVersion1, MpegLayer3, 9, 0),
         {0x55, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x80, 0x3E,
          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x00,
          0x02, 0x00, 0x00, 0x00, 0xA1, 0x01, 0x01, 0x00, 0x71, 0x05}},
        {"the same with padding",
         Header(MpegVersion1, MpegLayer3, 9, 0, 1),
         {0x55, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x80, 0x3E,
          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x00,
          0x01, 0x00, 0x00, 0x00, 0xA1, 0x01, 0x01, 0x00, 0x71, 0x05}},
        {"MPEG-1 320 kbit/s 32000 Hz mono",
         Header(MpegVersion1, MpegLayer3, 14, 2, 0, 3),
         {0x55, 0x00, 0x01, 0x00, 0x00, 0x7D, 0x00, 0x00, 0x40, 0x9C,
          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x00,
          0x02, 0x00, 0x00, 0x00, 0xA0, 0x05, 0x01, 0x00, 0x71, 0x05}},
        {"MPEG-2 64 kbit/s 22050 Hz mono",
         Header(MpegVersion2, MpegLayer3, 8, 0, 0, 3),
         {0x55, 0x00, 0x01, 0x00, 0x22, 0x56, 0x00, 0x00, 0x40, 0x1F,
          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x00,
          0x02, 0x00, 0x00, 0x00, 0xD0, 0x00, 0x01, 0x00, 0x71, 0x05}},
        {"MPEG-2.5 8 kbit/s 8000 Hz joint stereo with padding",
         Header(MpegVersion25, MpegLayer3, 1, 2, 1, 1),
         {0x55, 0x00, 0x02, 0x00, 0x40, 0x1F, 0x00, 0x00, 0xE8, 0x03,
          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x00,
          0x01, 0x00, 0x00, 0x00, 0x48, 0x00, 0x01, 0x00, 0x71, 0x05}},
        // Free format: no bit rate, so no bytes per second and no block size.
        {"MPEG-1 free format 44100 Hz dual channel",
         Header(MpegVersion1, MpegLayer3, 0, 0, 0, 2),
         {0x55, 0x00, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01, 0x00,
          0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x71, 0x05}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MpegFrameInfo f = FindMpegFrame(c.header.data(), c.header.size());
        ASSERT_EQ(f.layer, MpegLayer3);
        EXPECT_EQ(BuildMpegLayer3Format(f), c.expected);
    }
}

TEST(MpegFrameTest, ZeroSamplingRateGivesZeroBlockSize) {
    MpegFrameInfo f;
    f.bitRate = 128;
    const auto record = BuildMpegLayer3Format(f);
    EXPECT_EQ(record[24], 0);
    EXPECT_EQ(record[25], 0);
}

}  // namespace
}  // namespace kora486
