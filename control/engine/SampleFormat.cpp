#include "engine/SampleFormat.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kora486 {

namespace {

// Only a nonsense format (a tiny rate against a huge byte rate) gets near this, but it must not
// overflow.
int64_t SaturatingMultiply(int64_t count, uint16_t size) {
    int64_t product = 0;
    if (__builtin_mul_overflow(count, static_cast<int64_t>(size), &product)) {
        return count < 0 ? std::numeric_limits<int64_t>::min()
                         : std::numeric_limits<int64_t>::max();
    }
    return product;
}

}  // namespace

bool IsSampleFormatCode(int32_t code) {
    switch (code) {
        case FormatPcm8:
        case FormatPcm16:
        case FormatCompressed:
        case FormatALaw:
        case FormatMuLaw:
            return true;
        default:
            return false;
    }
}

bool IsAcceptedSampleRate(int64_t samplesPerSecond) {
    return std::find(SampleRateList.begin(), SampleRateList.end(), samplesPerSecond) !=
           SampleRateList.end();
}

WaveFormatEx BuildWaveFormat(SampleFormatCode code, uint16_t channels, uint32_t samplesPerSecond) {
    WaveFormatEx format;
    // A-law and µ-law files hold one byte per sample; the codec works on the device's 16 bits.
    format.bitsPerSample =
        (code == FormatPcm8 || code == FormatALaw || code == FormatMuLaw) ? 8 : 16;
    format.formatTag = code == FormatALaw    ? WaveFormatALaw
                       : code == FormatMuLaw ? WaveFormatMuLaw
                                             : WaveFormatPcm;
    format.channels = channels;
    format.samplesPerSec = samplesPerSecond;
    format.blockAlign = static_cast<uint16_t>(channels * (format.bitsPerSample / 8));
    format.avgBytesPerSec = format.blockAlign * samplesPerSecond;
    format.cbSize = 0;
    return format;
}

WaveFormatEx BuildDeviceFormat(const WaveFormatEx& waveFormat) {
    if (waveFormat.formatTag != WaveFormatALaw && waveFormat.formatTag != WaveFormatMuLaw) {
        return waveFormat;
    }
    WaveFormatEx device = waveFormat;
    device.formatTag = WaveFormatPcm;
    device.avgBytesPerSec = waveFormat.avgBytesPerSec * 2;
    device.blockAlign = static_cast<uint16_t>(waveFormat.blockAlign * 2);
    device.bitsPerSample = static_cast<uint16_t>(waveFormat.bitsPerSample * 2);
    return device;
}

SampleFormatCode SampleFormatCodeOfTag(const WaveFormatEx& fileFormat) {
    switch (fileFormat.formatTag) {
        case WaveFormatPcm:
            // Any width passes through; whoever opens the file refuses what is not 8 or 16.
            return static_cast<SampleFormatCode>(static_cast<int16_t>(fileFormat.bitsPerSample));
        case WaveFormatALaw:
            return FormatALaw;
        case WaveFormatMuLaw:
            return FormatMuLaw;
        default:
            return FormatCompressed;
    }
}

double SamplesPerBlock(const WaveFormatEx& compressedFormat) {
    if (compressedFormat.avgBytesPerSec == 0) {
        return 0.0;
    }
    // Kept in this order: a position rounded from it can depend on the quotient's last bit.
    return static_cast<double>(compressedFormat.samplesPerSec) /
           static_cast<double>(compressedFormat.avgBytesPerSec) *
           static_cast<double>(compressedFormat.blockAlign);
}

int64_t RoundHalfUp(double x) {
    const double sum = x + 0.5;
    // Converting a NaN or a value past the int64 range is undefined, so those saturate.
    if (std::isnan(sum)) {
        return 0;
    }
    if (sum >= 0x1p63) {
        return std::numeric_limits<int64_t>::max();
    }
    if (sum <= -0x1p63) {
        return std::numeric_limits<int64_t>::min();
    }
    return static_cast<int64_t>(sum);
}

FrameArithmetic FrameArithmetic::Uncompressed(const WaveFormatEx& waveFormat) {
    // Every frame is a block of its own.
    return FrameArithmetic(false, waveFormat.blockAlign, 1.0);
}

FrameArithmetic FrameArithmetic::Compressed(const WaveFormatEx& fileFormat) {
    return FrameArithmetic(true, fileFormat.blockAlign, kora486::SamplesPerBlock(fileFormat));
}

// A format with a zero block align or zero average rate cannot place anything, so every
// position in it is 0 rather than a division by zero.
int64_t FrameArithmetic::FramesToBytes(int64_t frames) const {
    const int64_t blocks = compressed_
                               ? (samplesPerBlock_ == 0.0
                                      ? 0
                                      : RoundHalfUp(static_cast<double>(frames) / samplesPerBlock_))
                               : frames;
    return SaturatingMultiply(blocks, blockAlign_);
}

int64_t FrameArithmetic::BytesToFrames(int64_t bytes) const {
    if (blockAlign_ == 0) {
        return 0;
    }
    if (!compressed_) {
        return bytes / blockAlign_;
    }
    return RoundHalfUp(static_cast<double>(bytes) * samplesPerBlock_ /
                       static_cast<double>(blockAlign_));
}

}  // namespace kora486
