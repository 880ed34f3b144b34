#pragma once

#include <array>
#include <cstdint>

#include "platform/WaveFormatEx.h"

namespace kora486 {

/// The value of the control's BitsPerSample property: which kind of samples a file holds.
enum SampleFormatCode : int16_t {
    FormatPcm8 = 8,
    FormatPcm16 = 16,
    FormatCompressed = 100,
    FormatALaw = 106,
    FormatMuLaw = 107,
};

/// True for the five codes above and nothing else.
bool IsSampleFormatCode(int32_t code);

/// The twelve sample rates the system accepts, highest first.
inline constexpr std::array<int32_t, 12> SampleRateList = {
    192000, 96000, 88200, 64000, 48000, 44100, 32000, 22050, 16000, 11025, 8000, 6000};

bool IsAcceptedSampleRate(int64_t samplesPerSecond);

/// The wave format of a new file of an uncompressed code (8, 16, 106 or 107). Code 100 has no
/// format of its own (the codec proposes one); it gets 16-bit PCM here.
WaveFormatEx BuildWaveFormat(SampleFormatCode code, uint16_t channels, uint32_t samplesPerSecond);

/// The format the sound device is opened with: 16-bit PCM for A-law and µ-law, else the same.
WaveFormatEx BuildDeviceFormat(const WaveFormatEx& waveFormat);

/// The code of an existing file's format: its bits per sample for PCM, 106 and 107 for G.711,
/// 100 for every other tag.
SampleFormatCode SampleFormatCodeOfTag(const WaveFormatEx& fileFormat);

/// Samples per block of a compressed format: rate / average bytes per second × block align;
/// 0 when the average bytes per second is 0.
double SamplesPerBlock(const WaveFormatEx& compressedFormat);

/// R(x): add 0.5 and truncate toward zero. NaN gives 0; sums past the int64 range saturate.
int64_t RoundHalfUp(double x);

/// Position arithmetic between sample frames and data bytes. Uncompressed files count whole
/// frames of the wave format's block align; compressed files count whole codec blocks. A format
/// whose block align (or, compressed, average bytes per second) is 0 maps every position to 0.
class FrameArithmetic {
public:
    /// Codes 8, 16, 106 and 107: frames × block align of the wave format.
    static FrameArithmetic Uncompressed(const WaveFormatEx& waveFormat);
    /// Code 100: blocks of the compressed file format (AcmFileFormat).
    static FrameArithmetic Compressed(const WaveFormatEx& fileFormat);

    int64_t FramesToBytes(int64_t frames) const;
    int64_t BytesToFrames(int64_t bytes) const;

    bool IsCompressed() const { return compressed_; }
    uint16_t BlockAlign() const { return blockAlign_; }
    double SamplesPerBlock() const { return samplesPerBlock_; }

private:
    FrameArithmetic(bool compressed, uint16_t blockAlign, double samplesPerBlock)
        : compressed_(compressed), blockAlign_(blockAlign), samplesPerBlock_(samplesPerBlock) {}

    bool compressed_;
    uint16_t blockAlign_;
    double samplesPerBlock_;
};

}  // namespace kora486
