#include "engine/ToneGenerator.h"

#include <cmath>

#include "engine/G711.h"

namespace kora486 {

int32_t ToneFrames(double seconds, uint32_t rate) {
    const double frames = std::trunc(seconds * rate);
    if (!(frames >= 1.0)) {
        return 0;
    }
    return frames >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(frames);
}

void RenderTone(const WaveFormatEx& format, int32_t first, int32_t frames,
                std::vector<uint8_t>& out) {
    const uint16_t channels = format.channels;
    const double step = TonePhaseStep / format.samplesPerSec;
    const bool sixteenBit = format.formatTag != WaveFormatALaw &&
                            format.formatTag != WaveFormatMuLaw && format.bitsPerSample != 8;
    const size_t samples = static_cast<size_t>(frames) * channels;
    out.resize(sixteenBit ? 2 * samples : samples);

    uint8_t* p = out.data();
    for (int32_t i = first; i < first + frames; ++i) {
        const double wave = std::sin(step * i);
        // Truncation toward zero keeps every value within half of full scale.
        const auto half = static_cast<int32_t>(16384.0 * wave);
        uint8_t byte = 0;
        switch (format.formatTag) {
            case WaveFormatALaw:
                byte = LinearToALaw(half);
                break;
            case WaveFormatMuLaw:
                byte = LinearToMuLaw(half);
                break;
            default:
                byte = static_cast<uint8_t>(128 + static_cast<int32_t>(64.0 * wave));
                break;
        }
        for (uint16_t c = 0; c < channels; ++c) {
            if (sixteenBit) {
                const auto v = static_cast<uint16_t>(static_cast<int16_t>(half));
                *p++ = static_cast<uint8_t>(v);
                *p++ = static_cast<uint8_t>(v >> 8);
            } else {
                *p++ = byte;
            }
        }
    }
}

}  // namespace kora486
