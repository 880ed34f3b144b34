// The WAV reader of the virtual input: any image either parses into whole frames or is refused
// with a message, and what parses can be played into every device format.
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/PcmWavFile.h"
#include "platform/VirtualSources.h"

namespace {

kora486::WaveFormatEx Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return {kora486::WaveFormatPcm, channels, rate, rate * align, align, bits, 0};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string error;
    auto wav = kora486::ParsePcmWav(data, size, &error);
    if (!wav) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    if (wav->samples.empty() || wav->samples.size() % wav->format.blockAlign != 0) {
        std::abort();
    }
    auto shared = std::make_shared<const kora486::PcmWav>(std::move(*wav));
    uint8_t block[1001];
    for (const auto& format : {Pcm(8000, 1, 8), Pcm(44100, 2, 16), Pcm(384000, 1, 16)}) {
        auto source = kora486::MakeWavSource(shared);
        source->Fill(block, sizeof block, format);
    }
    return 0;
}
