#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/VirtualSinks.h"
#include "platform/VirtualSources.h"
#include "platform/WaveFormatEx.h"

namespace kora486 {

/// How the virtual devices decide when a queued buffer is done.
enum class VirtualClock {
    /// A buffer completes after its duration (length / average bytes per second) of running time.
    RealTime,
    /// A queued buffer of a running device completes at once, inside the call that queued or
    /// started it; the device posts its message and never calls back into the engine.
    Fast,
    /// Nothing completes until the test calls CompleteInputBuffers or CompleteOutputBuffers.
    Manual,
};

/// One simulated device.
struct VirtualDeviceSpec {
    /// The product name; cut to MaxDeviceNameLength bytes when handed out.
    std::string name;
    /// Which formats the device opens with; empty means DefaultVirtualFormatRule.
    std::function<bool(const WaveFormatEx&)> accepts;
};

/// PCM (tag 1), 1 or 2 channels, 8 or 16 bits, block align and average bytes per second that
/// follow from them, 1000 to 384000 samples per second.
bool DefaultVirtualFormatRule(const WaveFormatEx& format);

/// The environment variables FromEnvironment reads.
inline constexpr const char* VirtualInputVariable = "KORA486_VIRTUAL_INPUT";
inline constexpr const char* VirtualOutputVariable = "KORA486_VIRTUAL_OUTPUT";
inline constexpr const char* VirtualClockVariable = "KORA486_VIRTUAL_CLOCK";

/// What the virtual devices are and what they capture and play into.
struct VirtualDeviceConfig {
    std::vector<VirtualDeviceSpec> inputs{{"Virtual Input", {}}};
    std::vector<VirtualDeviceSpec> outputs{{"Virtual Output", {}}};
    /// Called at each input open; empty means DefaultVirtualSource.
    std::function<std::unique_ptr<InputSource>()> makeSource;
    /// Called at each output open; empty means a discard sink.
    std::function<std::unique_ptr<OutputSink>()> makeSink;
    VirtualClock clock = VirtualClock::RealTime;

    /// The configuration the environment asks for:
    ///   KORA486_VIRTUAL_INPUT  = silence | sine:FREQ:DBFS | wav:PATH | levels:DB,DB,...
    ///   KORA486_VIRTUAL_OUTPUT = discard | wav:PATH
    ///   KORA486_VIRTUAL_CLOCK  = realtime | fast
    /// An unset or empty variable takes the default: the 1000 Hz sine at -12 dBFS, discard,
    /// real time. A wav: input is read here, once. A malformed value answers nullopt and, when
    /// error is not null, a message naming the variable and the value.
    static std::optional<VirtualDeviceConfig> FromEnvironment(std::string* error);

    /// The same over the three values (null for unset), for tests and the fuzzer.
    static std::optional<VirtualDeviceConfig> FromStrings(const char* input, const char* output,
                                                          const char* clock, std::string* error);
};

/// An environment value as an error message shows it: in double quotes, non-printable bytes as
/// \xNN, cut after 200 bytes. The environment can hold anything.
std::string QuoteEnvironmentValue(std::string_view value);

/// The recognisable test signal an input captures unless told otherwise: 1000 Hz at -12 dBFS.
inline constexpr double DefaultVirtualSineHz = 1000.0;
inline constexpr double DefaultVirtualSineDbfs = -12.0;
std::unique_ptr<InputSource> DefaultVirtualSource();

}  // namespace kora486
