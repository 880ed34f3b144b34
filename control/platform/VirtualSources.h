#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/PcmWavFile.h"
#include "platform/WaveFormatEx.h"

namespace kora486 {

/// What a virtual input device captures.
///
/// The device calls Fill once per completed buffer, in buffer order, from whichever thread
/// completes it and never from two threads at once; a source needs no lock of its own. Data is
/// written in the device's own PCM format: 8-bit unsigned (silence 128) or 16-bit signed
/// little-endian, channels interleaved. Any other format gets zero bytes.
class InputSource {
public:
    virtual ~InputSource() = default;
    /// Writes the next `bytes` bytes of the signal; bytes may be less than the buffer after a
    /// reset. The signal's phase and position carry on across calls.
    virtual void Fill(uint8_t* data, uint32_t bytes, const WaveFormatEx& format) = 0;
};

/// Digital silence: 0 for 16-bit samples, 128 for 8-bit ones.
std::unique_ptr<InputSource> MakeSilenceSource();

/// A sine of the given frequency whose peak is levelDbfs (0 = full scale) in every channel,
/// clipped to ±32767 (16-bit) or 128 ± 127 (8-bit).
std::unique_ptr<InputSource> MakeSineSource(double frequencyHz, double levelDbfs);

/// One peak level per filled buffer, taken in turn and repeating: a square wave whose peak sample
/// is PeakSampleForLevel of that level. A level of -9999 dB or below, -inf or NaN is silence; an
/// empty list is silence throughout.
std::unique_ptr<InputSource> MakeLevelsSource(std::vector<float> peakLevelsDb);

/// The samples of a PCM WAV file, looped. The file is read once, here; channels and sample size
/// are converted to the device's format and a different rate is met by taking the nearest
/// sample. Answers nullptr and, when error is not null, why, for a missing or unreadable file.
std::unique_ptr<InputSource> MakeWavFileSource(const std::string& path, std::string* error);

/// The same over samples already read, shared between sources; each source keeps its own
/// position and starts at the first frame. wav must not be null.
std::unique_ptr<InputSource> MakeWavSource(std::shared_ptr<const PcmWav> wav);

/// The peak sample magnitude that measures as levelDb: round(full × 10^(dB/20)) with full 32768
/// for 16-bit and 128 for 8-bit samples, clamped to 32767 or 127; 0 at or below -9999 dB.
int32_t PeakSampleForLevel(double levelDb, uint16_t bitsPerSample);

}  // namespace kora486
