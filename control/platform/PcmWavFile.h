#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/WaveFormatEx.h"

namespace kora486 {

/// The samples of a small PCM WAV file: 8-bit unsigned or 16-bit signed little-endian, one or two
/// channels, interleaved, always a whole number of frames and never empty.
struct PcmWav {
    WaveFormatEx format;
    std::vector<uint8_t> samples;
};

/// Reads a PCM WAV image held in memory. Unknown chunks are skipped; a data chunk that claims more
/// than the image holds is cut to the bytes present. On failure answers nullopt and, when error is
/// not null, a message that says what is wrong and at which byte offset.
std::optional<PcmWav> ParsePcmWav(const uint8_t* bytes, size_t size, std::string* error);

/// Largest file ReadPcmWavFile loads; these files are test signals, not recordings.
inline constexpr size_t MaxPcmWavFileBytes = size_t{256} << 20;

/// Reads a regular file of at most MaxPcmWavFileBytes with ParsePcmWav. Errors name the path.
std::optional<PcmWav> ReadPcmWavFile(const std::string& path, std::string* error);

/// The 44-byte header of a canonical PCM WAV file (RIFF, fmt of 16 bytes, data) whose data chunk
/// holds dataBytes bytes, all fields little-endian. The RIFF size counts the pad byte that follows
/// odd-sized data, which the writer must then append.
inline constexpr size_t PcmWavHeaderSize = 44;
std::array<uint8_t, PcmWavHeaderSize> PcmWavHeader(const WaveFormatEx& format, uint32_t dataBytes);

}  // namespace kora486
