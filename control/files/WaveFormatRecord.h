#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "files/LittleEndian.h"
#include "platform/WaveFormatEx.h"

namespace kora486 {

/// The 18-byte wave format record in its file form, little-endian field by field.
std::array<uint8_t, WaveFormatExSize> EncodeWaveFormat(const WaveFormatEx& format);

/// Reads the record from the first bytes of a format body. Bytes missing from a short body read
/// as zero (a 16-byte PCM body has no cbSize).
WaveFormatEx DecodeWaveFormat(std::span<const uint8_t> body);

}  // namespace kora486
