#include "engine/LevelMeter.h"

#include <cmath>
#include <cstring>

namespace kora486 {

namespace {

// A sample past these magnitudes lights the overload segment for about a second.
constexpr int Overload8 = 115;
constexpr int Overload16 = 30000;
constexpr int16_t OverloadHoldBuffers = 10;

struct ChannelPeak {
    double power = 0.0;
    int16_t hold = 0;

    void Take(int x, int overloadAt, double scale) {
        if (x > overloadAt || x < -overloadAt) {
            hold = OverloadHoldBuffers;
        }
        const double squared = static_cast<double>(x) * x * scale;
        if (squared > power) {
            power = squared;
        }
    }
};

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
    ChannelPeak left{0.0, s.LeftOverloadHold.load()};
    ChannelPeak right{0.0, s.RightOverloadHold.load()};
    if (channels == 1 || channels == 2) {
        const size_t samples = static_cast<size_t>(frames) * channels;
        for (size_t i = 0; i < samples; ++i) {
            ChannelPeak& peak = (channels == 2 && i % 2 == 1) ? right : left;
            if (bits == 8) {
                peak.Take(header.data[i] - 128, Overload8, 1.0 / 16384.0);
            } else {
                int16_t x;
                std::memcpy(&x, header.data + 2 * i, sizeof x);
                peak.Take(x, Overload16, 1.0 / 1073741824.0);
            }
        }
    }
    s.LeftPeakPower = left.power;
    s.RightPeakPower = right.power;
    s.LeftOverloadHold.store(left.hold);
    s.RightOverloadHold.store(right.hold);
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
