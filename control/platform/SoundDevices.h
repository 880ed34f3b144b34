#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/SoundDeviceService.h"

namespace kora486 {

/// The environment variable that picks the backend: "virtual" or "portaudio".
inline constexpr const char* AudioBackendVariable = "KORA486_AUDIO";

/// The process's sound-device service, chosen from the environment on the first call and kept
/// for the life of the process. KORA486_AUDIO=virtual gives the virtual devices configured by
/// VirtualDeviceConfig::FromEnvironment; "portaudio" gives PortAudioDevices, which has no devices
/// when PortAudio fails to start (so starts fail as with no sound card); unset gives PortAudio
/// when it finds at least one input or output device, else the virtual devices. A bad value in
/// any of the variables gives a service that has no devices and refuses every query and open
/// with MmInvalidParameter. Nothing is logged. Any thread may call it.
SoundDeviceService& SystemSoundDevices();

/// Why SystemSoundDevices refuses everything: the message naming the bad variable and its value,
/// or nullopt when the environment was good. Any thread may call it.
std::optional<std::string> SystemSoundDevicesError();

/// Makes the PortAudio service for ChooseSoundDevices; never null.
using PortAudioFactory = std::function<std::unique_ptr<SoundDeviceService>()>;

/// The choice SystemSoundDevices makes, over the four variables' values (null for unset) and the
/// way to make the PortAudio service, for tests. The factory is called only when PortAudio is
/// wanted or may be. On a bad value, answers the refusing service and sets *error.
std::unique_ptr<SoundDeviceService> ChooseSoundDevices(const char* audio, const char* input,
                                                       const char* output, const char* clock,
                                                       const PortAudioFactory& makePortAudio,
                                                       std::optional<std::string>* error);

}  // namespace kora486
