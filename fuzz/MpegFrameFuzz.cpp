// The MPEG frame scanner: any bytes give either no frame or the first header that passes every
// check, and the Layer III record built from it is always well formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "files/MpegFrame.h"

namespace {

uint32_t Le(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | p[i];
    }
    return v;
}

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kora486;
    size_t offset = 0;
    const MpegFrameInfo f = FindMpegFrame(data, size, &offset);
    if (f.version == MpegVersionReserved) {
        Check(offset == size);
        return 0;
    }
    Check(offset + 4 <= size && data[offset] == 0xFF && (data[offset + 1] & 0xE0) == 0xE0);
    Check(f.layer >= 1 && f.layer <= 3 && f.bitRateIndex < 15 && f.samplingIndex < 3);
    Check((f.bitRate == 0) == (f.bitRateIndex == 0) && f.bitRate <= 448);
    Check(f.samplingRate >= 8000 && f.samplingRate <= 48000);
    // Nothing before the header may pass: the prefix that ends one byte short finds nothing.
    Check(FindMpegFrame(data, offset + 3).version == MpegVersionReserved);
    if (f.layer != MpegLayer3) {
        return 0;
    }
    const auto record = BuildMpegLayer3Format(f);
    Check(Le(&record[0], 2) == 85 && Le(&record[16], 2) == 12 && Le(&record[28], 2) == 1393);
    const uint32_t channels = Le(&record[2], 2);
    Check(channels == (f.channelMode == MpegChannelModeSingle ? 1u : 2u));
    Check(Le(&record[4], 4) == static_cast<uint32_t>(f.samplingRate));
    Check(Le(&record[8], 4) == static_cast<uint32_t>(f.bitRate) * 125);
    const uint32_t blockSize = Le(&record[24], 2);
    Check((blockSize == 0) == (f.bitRate == 0) && blockSize <= 1440);
    Check(Le(&record[20], 4) == (f.padding != 0 ? 1u : 2u));
    return 0;
}
