#pragma once

#include <cstdint>
#include <vector>

#include "platform/WaveFormatEx.h"

namespace kora486 {

/// The marker tone that frames each stretch of recorded sound: 880 Hz at half of full scale.
///
/// Radians per second of the tone's phase; within 10^-6 of 2π × 880.
inline constexpr double TonePhaseStep = 5529.20307104;

/// Frames in a tone of the given seconds at the rate: the product truncated, 0 when it is not
/// above 0 (negative, NaN or too short for one frame).
int32_t ToneFrames(double seconds, uint32_t rate);

/// Renders frames [first, first + frames) of a tone whose phase starts at 0 in the file format's
/// own sample form into `out` (which is resized): A-law or µ-law codes, 8-bit unsigned or 16-bit
/// signed little-endian samples, every channel of a frame alike.
void RenderTone(const WaveFormatEx& format, int32_t first, int32_t frames,
                std::vector<uint8_t>& out);

}  // namespace kora486
