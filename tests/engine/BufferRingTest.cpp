#include "engine/BufferRing.h"

#include <gtest/gtest.h>

#include "engine/SampleFormat.h"

namespace kora486 {
namespace {

TEST(BufferRing, BuffersHoldATenthOfASecondInWholeDeviceBlocks) {
    struct Case {
        SampleFormatCode code;
        uint16_t channels;
        uint32_t rate;
        uint32_t bytes;
    };
    const Case cases[] = {
        {FormatPcm16, 2, 44100, 17640},
        {FormatPcm16, 2, 11025, 4408},  // 4410 is not a whole number of 4-byte frames
        {FormatPcm8, 1, 11025, 1102},
        {FormatPcm16, 1, 6000, 1200},
        {FormatALaw, 2, 44100, 17640},  // the device side is 16-bit
        {FormatMuLaw, 1, 8000, 1600},
        {FormatPcm16, 2, 192000, 76800},
    };
    for (const Case& c : cases) {
        const auto device = BuildDeviceFormat(BuildWaveFormat(c.code, c.channels, c.rate));
        EXPECT_EQ(BufferRing::BufferBytesFor(device), c.bytes)
            << c.code << " " << c.channels << " " << c.rate;
    }
}

TEST(BufferRing, TenHeadersWithBlocksOfTheirOwn) {
    BufferRing ring;
    EXPECT_FALSE(ring.IsAllocated());
    ring.Allocate(3200);
    ASSERT_TRUE(ring.IsAllocated());
    for (int i = 0; i < RingBufferCount; ++i) {
        EXPECT_EQ(ring[i].bufferLength, 3200u);
        EXPECT_EQ(ring[i].flags, 0u);
        if (i > 0) {
            EXPECT_EQ(ring[i].data - ring[i - 1].data, 3200);
        }
    }
    ring.Free();
    EXPECT_FALSE(ring.IsAllocated());
    EXPECT_EQ(ring[0].data, nullptr);
}

}  // namespace
}  // namespace kora486
