#pragma once

#include <cstddef>
#include <cstdint>

namespace kora486 {

/// Ends of the eight segments of both G.711 laws: segment n ends at 2^(n+8) - 1.
inline constexpr int16_t G711SegmentEnds[8] = {0x00FF, 0x01FF, 0x03FF, 0x07FF,
                                               0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF};

/// Index of the first of count table entries that is at least value; count when there is none.
int FindSegment(int32_t value, const int16_t* table, int count);

// The per-sample codecs. The encoders take a 32-bit value holding a 16-bit sample; larger
// magnitudes give the largest code of their sign. They are pure and cannot fail.
uint8_t LinearToALaw(int32_t sample);
int32_t ALawToLinear(uint8_t code);  ///< -32256..32256
uint8_t LinearToMuLaw(int32_t sample);
int32_t MuLawToLinear(uint8_t code);  ///< -32124..32124

// Whole buffers: count samples in, count codes out (and back).
void EncodeALaw(const int16_t* samples, uint8_t* codes, size_t count);
void EncodeMuLaw(const int16_t* samples, uint8_t* codes, size_t count);
void DecodeALaw(const uint8_t* codes, int16_t* samples, size_t count);
void DecodeMuLaw(const uint8_t* codes, int16_t* samples, size_t count);

namespace g711reference {
// The step-by-step algorithms the fast codecs are checked and measured against.
uint8_t LinearToALaw(int32_t sample);
int32_t ALawToLinear(uint8_t code);
uint8_t LinearToMuLaw(int32_t sample);
int32_t MuLawToLinear(uint8_t code);
}  // namespace g711reference

}  // namespace kora486
