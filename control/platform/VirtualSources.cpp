#include "platform/VirtualSources.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace kora486 {

namespace {

// Levels at or below this are the scripted way of saying "nothing at all".
constexpr double SilenceLevelDb = -9999.0;

bool IsPcm816(const WaveFormatEx& f) {
    return (f.bitsPerSample == 8 || f.bitsPerSample == 16) && f.channels > 0 &&
           f.blockAlign == f.channels * f.bitsPerSample / 8;
}

int32_t FullScale(uint16_t bits) {
    return bits == 8 ? 128 : 32768;
}

// value is centred on zero in the device's own scale: ±32767 for 16-bit, ±127 for 8-bit.
void StoreSample(uint8_t* p, uint16_t bits, int32_t value) {
    if (bits == 8) {
        p[0] = static_cast<uint8_t>(128 + std::clamp(value, -128, 127));
    } else {
        const auto v =
            static_cast<uint16_t>(static_cast<int16_t>(std::clamp(value, -32768, 32767)));
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
}

void FillSilence(uint8_t* data, uint32_t bytes, const WaveFormatEx& f) {
    std::memset(data, f.bitsPerSample == 8 ? 128 : 0, bytes);
}

// Writes whole frames, asking frameValues for one value per channel each time; the bytes of a
// trailing part frame are silence.
template <typename FrameValues>
void FillFrames(uint8_t* data, uint32_t bytes, const WaveFormatEx& f, FrameValues&& frameValues) {
    if (!IsPcm816(f)) {
        std::memset(data, 0, bytes);
        return;
    }
    const uint32_t frames = bytes / f.blockAlign;
    const uint32_t sampleBytes = f.bitsPerSample / 8u;
    int32_t values[2] = {};
    uint8_t* p = data;
    for (uint32_t i = 0; i < frames; ++i) {
        frameValues(values);
        for (uint16_t c = 0; c < f.channels; ++c) {
            StoreSample(p, f.bitsPerSample, values[std::min<uint16_t>(c, 1)]);
            p += sampleBytes;
        }
    }
    FillSilence(p, bytes - frames * f.blockAlign, f);
}

class SilenceSource final : public InputSource {
public:
    void Fill(uint8_t* data, uint32_t bytes, const WaveFormatEx& format) override {
        FillSilence(data, bytes, format);
    }
};

class SineSource final : public InputSource {
public:
    SineSource(double frequencyHz, double levelDbfs)
        : frequency_(std::isfinite(frequencyHz) ? frequencyHz : 0.0),
          gain_(std::isfinite(levelDbfs) ? std::pow(10.0, levelDbfs / 20.0) : 0.0) {}

    void Fill(uint8_t* data, uint32_t bytes, const WaveFormatEx& format) override {
        const double amplitude = gain_ * FullScale(format.bitsPerSample);
        const int32_t limit = FullScale(format.bitsPerSample) - 1;
        const double step = format.samplesPerSec > 0 ? frequency_ / format.samplesPerSec : 0.0;
        FillFrames(data, bytes, format, [&](int32_t* values) {
            const double v = std::round(amplitude * std::sin(2.0 * std::numbers::pi * cycle_));
            values[0] = values[1] =
                static_cast<int32_t>(std::clamp(v, -double(limit), double(limit)));
            // The phase is kept in cycles and wrapped, so it stays exact over long runs.
            cycle_ += step;
            cycle_ -= std::floor(cycle_);
        });
    }

private:
    double frequency_;
    double gain_;
    double cycle_ = 0.0;
};

class LevelsSource final : public InputSource {
public:
    explicit LevelsSource(std::vector<float> levels) : levels_(std::move(levels)) {}

    void Fill(uint8_t* data, uint32_t bytes, const WaveFormatEx& format) override {
        int32_t peak = 0;
        if (!levels_.empty()) {
            peak = PeakSampleForLevel(levels_[next_], format.bitsPerSample);
            next_ = (next_ + 1) % levels_.size();
        }
        // About 500 Hz at any rate: a tone, not a DC offset, yet every sample sits at the peak.
        const uint64_t halfPeriod = std::max<uint32_t>(1, format.samplesPerSec / 1000);
        FillFrames(data, bytes, format, [&](int32_t* values) {
            values[0] = values[1] = (frame_ / halfPeriod) % 2 == 0 ? peak : -peak;
            ++frame_;
        });
    }

private:
    std::vector<float> levels_;
    size_t next_ = 0;
    uint64_t frame_ = 0;
};

class WavSource final : public InputSource {
public:
    explicit WavSource(std::shared_ptr<const PcmWav> wav)
        : wav_(std::move(wav)),
          frames_(wav_->format.blockAlign > 0 ? wav_->samples.size() / wav_->format.blockAlign
                                              : 0) {}

    void Fill(uint8_t* data, uint32_t bytes, const WaveFormatEx& format) override {
        if (frames_ == 0) {
            FillSilence(data, bytes, format);
            return;
        }
        const WaveFormatEx& from = wav_->format;
        const uint64_t toRate = std::max<uint32_t>(1, format.samplesPerSec);
        const uint16_t toBits = format.bitsPerSample;
        FillFrames(data, bytes, format, [&](int32_t* values) {
            // Nearest source frame of this output frame, looping over the file.
            const uint64_t index = (produced_ * from.samplesPerSec + toRate / 2) / toRate % frames_;
            ++produced_;
            const uint8_t* p = wav_->samples.data() + index * from.blockAlign;
            int32_t in[2];
            for (uint16_t c = 0; c < from.channels; ++c) {
                in[c] = from.bitsPerSample == 8 ? (p[c] - 128) * 256
                                                : static_cast<int16_t>(static_cast<uint16_t>(
                                                      p[2 * c] | (p[2 * c + 1] << 8)));
            }
            if (from.channels == 1) {
                in[1] = in[0];
            } else if (format.channels == 1) {
                in[0] = in[1] = (in[0] + in[1]) / 2;
            }
            for (int c = 0; c < 2; ++c) {
                // 16 to 8 bits keeps the high byte: -32768..32767 becomes -128..127.
                values[c] = toBits == 8 ? (in[c] + 32768) / 256 - 128 : in[c];
            }
        });
    }

private:
    std::shared_ptr<const PcmWav> wav_;
    uint64_t frames_;
    uint64_t produced_ = 0;
};

}  // namespace

int32_t PeakSampleForLevel(double levelDb, uint16_t bitsPerSample) {
    if (!(levelDb > SilenceLevelDb)) {
        return 0;
    }
    const int32_t full = FullScale(bitsPerSample);
    const double peak = std::round(full * std::pow(10.0, std::min(levelDb, 100.0) / 20.0));
    return static_cast<int32_t>(std::min(peak, double(full - 1)));
}

std::unique_ptr<InputSource> MakeSilenceSource() {
    return std::make_unique<SilenceSource>();
}

std::unique_ptr<InputSource> MakeSineSource(double frequencyHz, double levelDbfs) {
    return std::make_unique<SineSource>(frequencyHz, levelDbfs);
}

std::unique_ptr<InputSource> MakeLevelsSource(std::vector<float> peakLevelsDb) {
    return std::make_unique<LevelsSource>(std::move(peakLevelsDb));
}

std::unique_ptr<InputSource> MakeWavFileSource(const std::string& path, std::string* error) {
    auto wav = ReadPcmWavFile(path, error);
    if (!wav) {
        return nullptr;
    }
    return MakeWavSource(std::make_shared<const PcmWav>(std::move(*wav)));
}

std::unique_ptr<InputSource> MakeWavSource(std::shared_ptr<const PcmWav> wav) {
    return std::make_unique<WavSource>(std::move(wav));
}

}  // namespace kora486
