#include "engine/LevelMeter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kora486 {

namespace {

// A sample past these magnitudes lights the overload segment for about a second.
constexpr int Overload8 = 115;
constexpr int Overload16 = 30000;
constexpr int16_t OverloadHoldBuffers = 10;

// The largest sample magnitude of each channel in a buffer. Squaring is monotonic, so the peak
// power is the square of the largest magnitude, and a buffer overloads when that magnitude does.
struct Peaks {
    int32_t left = 0;
    int32_t right = 0;
};

template <typename Sample>
Peaks FindPeaks(const uint8_t* data, size_t frames, uint16_t channels) {
    const auto magnitude = [data](size_t i) {
        Sample raw;
        std::memcpy(&raw, data + i * sizeof(Sample), sizeof(Sample));
        const int32_t x = sizeof(Sample) == 1 ? int32_t{raw} - 128 : int32_t{raw};
        return x < 0 ? -x : x;
    };
    Peaks peaks;
    if (channels == 1) {
        for (size_t i = 0; i < frames; ++i) {
            peaks.left = std::max(peaks.left, magnitude(i));
        }
    } else {
        for (size_t i = 0; i < frames; ++i) {
            peaks.left = std::max(peaks.left, magnitude(2 * i));
            peaks.right = std::max(peaks.right, magnitude(2 * i + 1));
        }
    }
    return peaks;
}

float LevelOf(double peakPower) {
    return peakPower > 0.0 ? static_cast<float>(10.0 * std::log10(peakPower)) : SilenceLevel;
}

}  // namespace

void LevelMeter::ResetLevels() {
    RecorderState& s = context_.state;
    s.LeftLevel.store(-100.0f);
    s.RightLevel.store(-100.0f);
    s.LeftOverload.store(0);
    s.RightOverload.store(0);
    s.LeftOverloadHold.store(0);
    s.RightOverloadHold.store(0);
    s.LeftPeakPower = 0.0;
    s.RightPeakPower = 0.0;
}

void LevelMeter::MeasurePeaks(const WaveHeader& header, uint32_t frames) {
    RecorderState& s = context_.state;
    const uint16_t channels = s.WaveFormat.channels;
    // G.711 devices deliver 16-bit samples whatever the file's bits per sample say.
    const int bits = context_.IsG711() ? 16 : s.WaveFormat.bitsPerSample;
    if (bits != 8 && bits != 16) {
        return;
    }
    Peaks peaks;
    if (channels == 1 || channels == 2) {
        peaks = bits == 8 ? FindPeaks<uint8_t>(header.data, frames, channels)
                          : FindPeaks<int16_t>(header.data, frames, channels);
    }
    const int32_t overloadAt = bits == 8 ? Overload8 : Overload16;
    const double scale = bits == 8 ? 1.0 / 16384.0 : 1.0 / 1073741824.0;
    s.LeftPeakPower = static_cast<double>(peaks.left) * peaks.left * scale;
    s.RightPeakPower = static_cast<double>(peaks.right) * peaks.right * scale;
    if (peaks.left > overloadAt) {
        s.LeftOverloadHold.store(OverloadHoldBuffers);
    }
    if (peaks.right > overloadAt) {
        s.RightOverloadHold.store(OverloadHoldBuffers);
    }
}

void LevelMeter::MeasureBuffer(const WaveHeader& header, uint32_t frames) {
    RecorderState& s = context_.state;
    MeasurePeaks(header, frames);

    const auto settle = [](std::atomic<int16_t>& hold, std::atomic<int32_t>& overload) {
        const int16_t h = hold.load();
        overload.store(h > 0 ? 1 : 0);
        if (h > 0) {
            hold.store(static_cast<int16_t>(h - 1));
        }
    };
    settle(s.LeftOverloadHold, s.LeftOverload);
    settle(s.RightOverloadHold, s.RightOverload);
    s.LeftLevel.store(LevelOf(s.LeftPeakPower));
    s.RightLevel.store(LevelOf(s.RightPeakPower));

    RunVox();
    context_.Notify(NotifyLevels);
}

void LevelMeter::RunVox() {
    RecorderState& s = context_.state;
    int channel = s.VoxChannel.load();
    if (s.WaveFormat.channels == 1 && channel > 1) {
        channel = 1;
    }
    const float left = s.LeftLevel.load();
    const float right = s.RightLevel.load();
    const float start = s.VoxStartLevel.load();
    const float stop = s.VoxStopLevel.load();

    enum class Kind { Sound, Hold, Quiet };
    Kind kind;
    switch (channel) {
        case 1:
            kind = left >= start ? Kind::Sound : left >= stop ? Kind::Hold : Kind::Quiet;
            break;
        case 2:
            kind = right >= start ? Kind::Sound : right >= stop ? Kind::Hold : Kind::Quiet;
            break;
        case 3:
            kind = (right >= start || left >= start) ? Kind::Sound
                   : (right >= stop || left >= stop) ? Kind::Hold
                                                     : Kind::Quiet;
            break;
        default:
            return;
    }

    switch (kind) {
        case Kind::Sound:
            s.VoxQuietCount.store(0);
            if (s.VoxPaused.load() == 1) {
                s.VoxPaused.store(0);
                context_.Notify(NotifyVoxState);
            }
            break;
        case Kind::Hold:
            s.VoxQuietCount.store(0);
            break;
        case Kind::Quiet:
            if (s.VoxPaused.load() != 0) {
                break;
            }
            // The first quiet buffer loads the count, each further one counts down, and the one
            // that reaches zero pauses: VoxTime + 1 quiet buffers in a row.
            if (const int16_t count = s.VoxQuietCount.load(); count == 0) {
                s.VoxQuietCount.store(s.VoxTime.load());
            } else {
                s.VoxQuietCount.store(static_cast<int16_t>(count - 1));
                if (count - 1 == 0) {
                    s.VoxPaused.store(1);
                    context_.Notify(NotifyVoxState);
                }
            }
            break;
    }
}

void LevelMeter::PublishSilence() {
    RecorderState& s = context_.state;
    s.LeftLevel.store(SilenceLevel);
    s.RightLevel.store(SilenceLevel);
    s.LeftOverload.store(0);
    s.RightOverload.store(0);
    context_.Notify(NotifyLevels);
}

}  // namespace kora486
