#include "engine/G711.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

namespace kora486 {
namespace {

TEST(G711Test, EdgeCases) {
    struct Case {
        int32_t input;
        uint8_t alaw;
        int32_t alawDecoded;
        uint8_t mulaw;
        int32_t mulawDecoded;
    };
    const Case cases[] = {
        {0, 0xD5, 8, 0xFF, 0},
        {-1, 0x55, -8, 0x7F, 0},
        {-8, 0x55, -8, 0x7E, -8},
        {100, 0xD3, 104, 0xF2, 104},
        {-100, 0x50, -88, 0x72, -104},
        {1000, 0xFA, 1008, 0xCE, 988},
        {-1000, 0x7A, -1008, 0x4E, -988},
        {32767, 0xAA, 32256, 0x80, 32124},
        {-32768, 0x2A, -32256, 0x00, -32124},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(g711reference::LinearToALaw(c.input), c.alaw);
        EXPECT_EQ(LinearToALaw(c.input), c.alaw);
        EXPECT_EQ(g711reference::ALawToLinear(c.alaw), c.alawDecoded);
        EXPECT_EQ(ALawToLinear(c.alaw), c.alawDecoded);
        EXPECT_EQ(g711reference::LinearToMuLaw(c.input), c.mulaw);
        EXPECT_EQ(LinearToMuLaw(c.input), c.mulaw);
        EXPECT_EQ(g711reference::MuLawToLinear(c.mulaw), c.mulawDecoded);
        EXPECT_EQ(MuLawToLinear(c.mulaw), c.mulawDecoded);
    }
}

TEST(G711Test, FindSegmentBoundaries) {
    struct Case {
        int32_t value;
        int count;
        int segment;
    };
    const Case cases[] = {
        {std::numeric_limits<int32_t>::min(), 8, 0},
        {-1, 8, 0},
        {0, 8, 0},
        {0x00FF, 8, 0},
        {0x0100, 8, 1},
        {0x01FF, 8, 1},
        {0x0200, 8, 2},
        {0x07FF, 8, 3},
        {0x0800, 8, 4},
        {0x3FFF, 8, 6},
        {0x4000, 8, 7},
        {0x7FFF, 8, 7},
        {0x8000, 8, 8},
        {std::numeric_limits<int32_t>::max(), 8, 8},
        // A shorter table ends the search sooner.
        {0x0200, 2, 2},
        {0x01FF, 2, 1},
        {0, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindSegment(c.value, G711SegmentEnds, c.count), c.segment)
            << c.value << " in " << c.count;
    }
}

// Everything the two laws share is tested once, over this description of each.
struct Law {
    const char* name;
    uint8_t (*encode)(int32_t);
    int32_t (*decode)(uint8_t);
    uint8_t (*referenceEncode)(int32_t);
    int32_t (*referenceDecode)(uint8_t);
    void (*encodeBuffer)(const int16_t*, uint8_t*, size_t);
    void (*decodeBuffer)(const uint8_t*, int16_t*, size_t);
    int32_t largestMagnitude;
    uint8_t largestPositiveCode;
    uint8_t largestNegativeCode;
    int negativeZero;  // the code that re-encodes as positive zero, or -1
    uint8_t positiveZero;
};

const Law Laws[] = {
    {"ALaw", LinearToALaw, ALawToLinear, g711reference::LinearToALaw, g711reference::ALawToLinear,
     EncodeALaw, DecodeALaw, 32256, 0xAA, 0x2A, -1, 0xD5},
    {"MuLaw", LinearToMuLaw, MuLawToLinear, g711reference::LinearToMuLaw,
     g711reference::MuLawToLinear, EncodeMuLaw, DecodeMuLaw, 32124, 0x80, 0x00, 0x7F, 0xFF},
};

void PrintTo(const Law& law, std::ostream* os) {
    *os << law.name;
}

class G711LawTest : public testing::TestWithParam<Law> {};

TEST_P(G711LawTest, FastCodecsMatchTheReferenceEverywhere) {
    const Law& law = GetParam();

    std::vector<int16_t> samples(65536);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(static_cast<int32_t>(i) - 32768);
    }
    std::vector<uint8_t> codes(samples.size());
    law.encodeBuffer(samples.data(), codes.data(), samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint8_t expected = law.referenceEncode(samples[i]);
        ASSERT_EQ(law.encode(samples[i]), expected) << samples[i];
        ASSERT_EQ(codes[i], expected) << samples[i];
    }

    std::vector<uint8_t> everyCode(256);
    for (size_t code = 0; code < everyCode.size(); ++code) {
        everyCode[code] = static_cast<uint8_t>(code);
    }
    std::vector<int16_t> decoded(everyCode.size());
    law.decodeBuffer(everyCode.data(), decoded.data(), everyCode.size());
    for (const uint8_t code : everyCode) {
        const int32_t expected = law.referenceDecode(code);
        EXPECT_EQ(law.decode(code), expected) << int{code};
        EXPECT_EQ(decoded[code], expected) << int{code};
    }
}

TEST_P(G711LawTest, EveryCodeSurvivesARoundTrip) {
    const Law& law = GetParam();
    for (int code = 0; code < 256; ++code) {
        const auto expected =
            static_cast<uint8_t>(code == law.negativeZero ? law.positiveZero : code);
        EXPECT_EQ(law.encode(law.decode(static_cast<uint8_t>(code))), expected) << code;
    }
}

TEST_P(G711LawTest, DecodedValuesSpanTheDocumentedRange) {
    const Law& law = GetParam();
    int32_t lowest = std::numeric_limits<int32_t>::max();
    int32_t highest = std::numeric_limits<int32_t>::min();
    for (int code = 0; code < 256; ++code) {
        const int32_t value = law.decode(static_cast<uint8_t>(code));
        lowest = std::min(lowest, value);
        highest = std::max(highest, value);
    }
    EXPECT_EQ(highest, law.largestMagnitude);
    EXPECT_EQ(lowest, -law.largestMagnitude);
    EXPECT_EQ(law.decode(law.largestPositiveCode), law.largestMagnitude);
    EXPECT_EQ(law.decode(law.largestNegativeCode), -law.largestMagnitude);
}

TEST_P(G711LawTest, OutOfRangeInputsGiveTheLargestCodeOfTheirSign) {
    const Law& law = GetParam();
    for (const int32_t input :
         {32767, 32768, 40000, 65535, 65536, 1 << 20, std::numeric_limits<int32_t>::max()}) {
        EXPECT_EQ(law.encode(input), law.largestPositiveCode) << input;
        EXPECT_EQ(law.referenceEncode(input), law.largestPositiveCode) << input;
    }
    for (const int32_t input :
         {-32768, -32769, -40000, -65536, -(1 << 20), std::numeric_limits<int32_t>::min()}) {
        EXPECT_EQ(law.encode(input), law.largestNegativeCode) << input;
        EXPECT_EQ(law.referenceEncode(input), law.largestNegativeCode) << input;
    }
}

INSTANTIATE_TEST_SUITE_P(G711Laws, G711LawTest, testing::ValuesIn(Laws),
                         [](const testing::TestParamInfo<Law>& info) { return info.param.name; });

}  // namespace
}  // namespace kora486
