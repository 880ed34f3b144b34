#pragma once

#include <cstdint>

#include "engine/EngineContext.h"

namespace kora486 {

/// Peak levels, overload hold and the VOX rule, measured on every buffer recorded or played.
/// Engine thread only.
class LevelMeter {
public:
    explicit LevelMeter(EngineContext& context) : context_(context) {}

    /// Before every start: levels -100 dB, no overload, no peak.
    void ResetLevels();

    /// Measures the device samples of a buffer, updates the overload state, runs VOX and posts
    /// NotifyLevels (after NotifyVoxState when the VOX pause changed).
    void MeasureBuffer(const WaveHeader& header, uint32_t frames);

    /// After every stop: both levels silent, no overload, and one NotifyLevels.
    void PublishSilence();

private:
    void MeasurePeaks(const WaveHeader& header, uint32_t frames);
    void RunVox();

    EngineContext& context_;
};

}  // namespace kora486
