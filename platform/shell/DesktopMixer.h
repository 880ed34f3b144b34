#pragma once

#include <string>
#include <vector>

namespace kora486 {

/// The environment variable that names the desktop's mixer: a command and its arguments,
/// separated by spaces. Unset or empty: the mixers below, in turn.
inline constexpr const char* MixerVariable = "KORA486_MIXER";

/// The command lines tried for a mixer, first to last: the configured one, else PulseAudio's
/// volume control and its Qt twin. The record view opens the input devices' page of
/// pavucontrol; a configured command gets the argument "--record" for it.
std::vector<std::vector<std::string>> MixerCommands(const char* configured, bool recordView);

/// Starts the first of MixerCommands that can be started, detached from this process (it
/// outlives the caller and leaves no zombie). Answers whether one started.
bool StartDesktopMixer(bool recordView);

}  // namespace kora486
