#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kora486 {

/// Values of MpegFrameInfo::version, as coded in the header's two version bits.
inline constexpr int32_t MpegVersion25 = 0;
inline constexpr int32_t MpegVersionReserved = 1;  ///< also: no frame header was found
inline constexpr int32_t MpegVersion2 = 2;
inline constexpr int32_t MpegVersion1 = 3;

/// Values of MpegFrameInfo::layer, as coded in the header's two layer bits (0 is reserved).
inline constexpr int32_t MpegLayer3 = 1;
inline constexpr int32_t MpegLayer2 = 2;
inline constexpr int32_t MpegLayer1 = 3;

/// MpegFrameInfo::channelMode of a single-channel (mono) stream.
inline constexpr int32_t MpegChannelModeSingle = 3;

/// The fields of one MPEG audio frame header (ISO/IEC 11172-3, 13818-3 and the MPEG 2.5
/// extension), each as a 32-bit value, in this order.
struct MpegFrameInfo {
    int32_t version = MpegVersionReserved;
    int32_t layer = 0;
    int32_t protection = 0;  ///< 1: no CRC follows the header
    int32_t bitRateIndex = 0;
    int32_t bitRate = 0;  ///< kbit/s; 0 for a free-format stream (index 0)
    int32_t samplingIndex = 0;
    int32_t samplingRate = 0;  ///< Hz
    int32_t padding = 0;
    int32_t privateBit = 0;
    int32_t channelMode = 0;  ///< 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
    int32_t modeExtension = 0;
    int32_t copyright = 0;  ///< bit 3 of the fourth header byte
    int32_t original = 0;   ///< bit 2 of the fourth header byte
    int32_t emphasis = 0;

    friend bool operator==(const MpegFrameInfo&, const MpegFrameInfo&) = default;
};

/// The first frame header in bytes[0, n): the first offset p with p + 3 < n whose four bytes start
/// with an 11-bit sync and carry a known version and layer, a bit-rate index other than 15 and a
/// sampling index other than 3. No other check is made, so a stream may match by chance.
///
/// Answers the header's fields, or version MpegVersionReserved (the other fields then mean
/// nothing) when there is none. When offset is not null it receives the offset of the header, or
/// n when there is none. bytes may be null when n is 0.
MpegFrameInfo FindMpegFrame(const uint8_t* bytes, size_t n, size_t* offset = nullptr);

/// Size of the MPEG Layer-3 wave format record: WAVEFORMATEX (18 bytes) and 12 extra bytes.
inline constexpr size_t MpegLayer3FormatSize = 30;

/// The MPEG Layer-3 wave format record (MPEGLAYER3WAVEFORMAT) that describes a stream of frames
/// like this Layer III frame, all fields little-endian:
///   wFormatTag 85, nChannels 1 for a single-channel frame else 2, nSamplesPerSec the sampling
///   rate, nAvgBytesPerSec bitRate * 1000 / 8, nBlockAlign 1, wBitsPerSample 0, cbSize 12;
///   wID 1, fdwFlags 1 (padding on) or 2 (padding off), nBlockSize the frame length without its
///   padding byte (bitRate * 144000 / rate for MPEG-1, * 72000 for MPEG-2 and 2.5, rounded down),
///   nFramesPerBlock 1, nCodecDelay 1393.
/// A free-format frame (bit rate 0) gives nAvgBytesPerSec 0 and nBlockSize 0, a record that no
/// codec accepts; so does a sampling rate of 0. The function itself never fails.
std::array<uint8_t, MpegLayer3FormatSize> BuildMpegLayer3Format(const MpegFrameInfo& frame);

}  // namespace kora486
