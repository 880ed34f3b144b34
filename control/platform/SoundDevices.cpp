#include "platform/SoundDevices.h"

#include <cstdlib>
#include <string_view>

#include "platform/PortAudioDevices.h"
#include "platform/VirtualDevices.h"

namespace kora486 {

namespace {

// What a process with a bad environment gets: nothing to open, and a refusal that says "your
// parameters are wrong" rather than "no sound card".
class RefusingDevices final : public SoundDeviceService {
public:
    unsigned InputDeviceCount() const override { return 0; }
    unsigned OutputDeviceCount() const override { return 0; }
    MmResult InputDeviceName(int, std::string&) const override { return MmBadDeviceId; }
    MmResult OutputDeviceName(int, std::string&) const override { return MmBadDeviceId; }
    MmResult QueryInputFormat(int, const WaveFormatEx&) const override {
        return MmInvalidParameter;
    }
    MmResult QueryOutputFormat(int, const WaveFormatEx&) const override {
        return MmInvalidParameter;
    }
    MmResult OpenInput(int, const WaveFormatEx&, MessageQueue&,
                       std::unique_ptr<WaveInDevice>&) override {
        return MmInvalidParameter;
    }
    MmResult OpenOutput(int, const WaveFormatEx&, MessageQueue&,
                        std::unique_ptr<WaveOutDevice>&) override {
        return MmInvalidParameter;
    }
};

struct SystemChoice {
    std::unique_ptr<SoundDeviceService> service;
    std::optional<std::string> error;
};

const SystemChoice& System() {
    static const SystemChoice choice = [] {
        SystemChoice c;
        c.service = ChooseSoundDevices(
            std::getenv(AudioBackendVariable), std::getenv(VirtualInputVariable),
            std::getenv(VirtualOutputVariable), std::getenv(VirtualClockVariable),
            [] { return std::make_unique<PortAudioDevices>(); }, &c.error);
        return c;
    }();
    return choice;
}

}  // namespace

std::unique_ptr<SoundDeviceService> ChooseSoundDevices(const char* audio, const char* input,
                                                       const char* output, const char* clock,
                                                       const PortAudioFactory& makePortAudio,
                                                       std::optional<std::string>* error) {
    const std::string_view backend = audio != nullptr ? audio : "";
    if (backend != "" && backend != "virtual" && backend != "portaudio") {
        *error = std::string(AudioBackendVariable) + "=" + QuoteEnvironmentValue(backend) +
                 ": expected virtual or portaudio";
        return std::make_unique<RefusingDevices>();
    }
    std::string why;
    auto config = VirtualDeviceConfig::FromStrings(input, output, clock, &why);
    if (!config) {
        *error = why;
        return std::make_unique<RefusingDevices>();
    }
    *error = std::nullopt;
    // The virtual variables are checked whichever backend runs, so a mistyped value is caught on
    // a machine with a sound card too.
    if (backend == "portaudio") {
        return makePortAudio();
    }
    if (backend.empty()) {
        auto portAudio = makePortAudio();
        if (portAudio->InputDeviceCount() + portAudio->OutputDeviceCount() > 0) {
            return portAudio;
        }
    }
    return std::make_unique<VirtualDevices>(std::move(*config));
}

SoundDeviceService& SystemSoundDevices() {
    return *System().service;
}

std::optional<std::string> SystemSoundDevicesError() {
    return System().error;
}

}  // namespace kora486
