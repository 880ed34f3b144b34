#pragma once

#include <cstdint>

namespace kora486 {

/// Wave format tags the system knows by name; every other tag is a compressed format.
enum WaveFormatTag : uint16_t {
    WaveFormatPcm = 1,
    WaveFormatALaw = 6,
    WaveFormatMuLaw = 7,
    WaveFormatMpegLayer3 = 0x55,
};

/// The 18-byte wave format record (WAVEFORMATEX) without its extra bytes. This is a value type;
/// files read and write it field by field in little-endian order, never as a host struct.
struct WaveFormatEx {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t samplesPerSec = 0;
    uint32_t avgBytesPerSec = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint16_t cbSize = 0;

    friend bool operator==(const WaveFormatEx&, const WaveFormatEx&) = default;
};

inline constexpr uint32_t WaveFormatExSize = 18;

}  // namespace kora486
