#include "files/WaveFormatRecord.h"

#include <algorithm>

namespace kora486 {

uint16_t ReadLe16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t ReadLe32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

void WriteLe16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

void WriteLe32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

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
