#include "files/WaveFormatRecord.h"

#include <algorithm>

namespace kora486 {

std::array<uint8_t, WaveFormatExSize> EncodeWaveFormat(const WaveFormatEx& format) {
    std::array<uint8_t, WaveFormatExSize> bytes{};
    WriteLe16(&bytes[0], format.formatTag);
    WriteLe16(&bytes[2], format.channels);
    WriteLe32(&bytes[4], format.samplesPerSec);
    WriteLe32(&bytes[8], format.avgBytesPerSec);
    WriteLe16(&bytes[12], format.blockAlign);
    WriteLe16(&bytes[14], format.bitsPerSample);
    WriteLe16(&bytes[16], format.cbSize);
    return bytes;
}

WaveFormatEx DecodeWaveFormat(std::span<const uint8_t> body) {
    std::array<uint8_t, WaveFormatExSize> bytes{};
    std::copy_n(body.begin(), std::min(body.size(), bytes.size()), bytes.begin());
    WaveFormatEx format;
    format.formatTag = ReadLe16(&bytes[0]);
    format.channels = ReadLe16(&bytes[2]);
    format.samplesPerSec = ReadLe32(&bytes[4]);
    format.avgBytesPerSec = ReadLe32(&bytes[8]);
    format.blockAlign = ReadLe16(&bytes[12]);
    format.bitsPerSample = ReadLe16(&bytes[14]);
    format.cbSize = ReadLe16(&bytes[16]);
    return format;
}

}  // namespace kora486
