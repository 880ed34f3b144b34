#include "platform/VirtualDeviceConfig.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace kora486 {

namespace {

constexpr const char* InputForms = "silence, sine:FREQ:DBFS, wav:PATH or levels:DB,DB,...";
constexpr const char* OutputForms = "discard or wav:PATH";
constexpr const char* ClockForms = "realtime or fast";
constexpr double MaxSineHz = 1e6;

}  // namespace

std::string QuoteEnvironmentValue(std::string_view value) {
    constexpr size_t Shown = 200;
    std::string out = "\"";
    for (size_t i = 0; i < value.size() && i < Shown; ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            static constexpr char Hex[] = "0123456789abcdef";
            out += "\\x";
            out += Hex[c >> 4];
            out += Hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (value.size() > Shown) {
        out += "...";
    }
    return out + "\"";
}

namespace {

std::string Quote(std::string_view value) {
    return QuoteEnvironmentValue(value);
}

// A whole token as a number: no leading '+', no trailing text, never NaN; "-inf" is allowed.
std::optional<double> ParseNumber(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || std::isnan(value)) {
        return std::nullopt;
    }
    return value;
}

bool StartsWith(std::string_view text, std::string_view prefix, std::string_view* rest) {
    if (text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    *rest = text.substr(prefix.size());
    return true;
}

// Collects the one message a bad variable produces.
struct Problem {
    const char* variable;
    std::string_view value;
    std::string* error;

    bool operator()(const std::string& what) const {
        if (error != nullptr) {
            *error = std::string(variable) + "=" + Quote(value) + ": " + what;
        }
        return false;
    }
};

std::optional<double> ParseLevel(std::string_view text, const std::string& name,
                                 const Problem& fail) {
    const auto level = ParseNumber(text);
    if (!level) {
        fail(name + " " + Quote(text) + " is not a number of dB");
        return std::nullopt;
    }
    if (*level > 0) {
        fail(name + " " + Quote(text) + " is above 0 dBFS");
        return std::nullopt;
    }
    return level;
}

bool ParseInput(std::string_view value, VirtualDeviceConfig& config, const Problem& fail) {
    std::string_view rest;
    if (value == "silence") {
        config.makeSource = [] { return MakeSilenceSource(); };
        return true;
    }
    if (StartsWith(value, "sine:", &rest)) {
        const size_t colon = rest.find(':');
        if (colon == std::string_view::npos) {
            return fail("expected sine:FREQ:DBFS");
        }
        const std::string_view freqText = rest.substr(0, colon);
        const auto frequency = ParseNumber(freqText);
        if (!frequency || !(*frequency > 0 && *frequency <= MaxSineHz)) {
            return fail("the frequency " + Quote(freqText) +
                        " is not a number of Hz above 0 and at most 1000000");
        }
        const auto level = ParseLevel(rest.substr(colon + 1), "the level", fail);
        if (!level) {
            return false;
        }
        config.makeSource = [f = *frequency, l = *level] { return MakeSineSource(f, l); };
        return true;
    }
    if (StartsWith(value, "wav:", &rest)) {
        if (rest.empty()) {
            return fail("the path after wav: is empty");
        }
        std::string why;
        auto wav = ReadPcmWavFile(std::string(rest), &why);
        if (!wav) {
            return fail(why);
        }
        // Read once; every open gets its own position over the same samples.
        auto shared = std::make_shared<const PcmWav>(std::move(*wav));
        config.makeSource = [shared] { return MakeWavSource(shared); };
        return true;
    }
    if (StartsWith(value, "levels:", &rest)) {
        std::vector<float> levels;
        for (size_t start = 0;;) {
            const size_t comma = rest.find(',', start);
            const std::string_view token = rest.substr(start, comma - start);
            const auto level =
                ParseLevel(token, "level " + std::to_string(levels.size() + 1), fail);
            if (!level) {
                return false;
            }
            levels.push_back(static_cast<float>(*level));
            if (comma == std::string_view::npos) {
                break;
            }
            start = comma + 1;
        }
        config.makeSource = [levels] { return MakeLevelsSource(levels); };
        return true;
    }
    return fail(std::string("expected ") + InputForms);
}

bool ParseOutput(std::string_view value, VirtualDeviceConfig& config, const Problem& fail) {
    std::string_view rest;
    if (value == "discard") {
        config.makeSink = [] { return MakeDiscardSink(); };
        return true;
    }
    if (StartsWith(value, "wav:", &rest)) {
        if (rest.empty()) {
            return fail("the path after wav: is empty");
        }
        config.makeSink = [path = std::string(rest)] { return MakeWavFileSink(path); };
        return true;
    }
    return fail(std::string("expected ") + OutputForms);
}

bool ParseClock(std::string_view value, VirtualDeviceConfig& config, const Problem& fail) {
    if (value == "realtime") {
        config.clock = VirtualClock::RealTime;
        return true;
    }
    if (value == "fast") {
        config.clock = VirtualClock::Fast;
        return true;
    }
    return fail(std::string("expected ") + ClockForms);
}

}  // namespace

bool DefaultVirtualFormatRule(const WaveFormatEx& f) {
    return f.formatTag == WaveFormatPcm && (f.channels == 1 || f.channels == 2) &&
           (f.bitsPerSample == 8 || f.bitsPerSample == 16) &&
           f.blockAlign == f.channels * f.bitsPerSample / 8 && f.samplesPerSec >= 1000 &&
           f.samplesPerSec <= 384000 && f.avgBytesPerSec == f.samplesPerSec * f.blockAlign;
}

std::unique_ptr<InputSource> DefaultVirtualSource() {
    return MakeSineSource(DefaultVirtualSineHz, DefaultVirtualSineDbfs);
}

std::optional<VirtualDeviceConfig> VirtualDeviceConfig::FromStrings(const char* input,
                                                                    const char* output,
                                                                    const char* clock,
                                                                    std::string* error) {
    VirtualDeviceConfig config;
    config.makeSource = [] { return DefaultVirtualSource(); };
    config.makeSink = [] { return MakeDiscardSink(); };
    // An empty variable is as good as unset: "VAR= program" is how a shell clears one.
    auto given = [](const char* value) { return value != nullptr && *value != '\0'; };
    if (given(input) && !ParseInput(input, config, Problem{VirtualInputVariable, input, error})) {
        return std::nullopt;
    }
    if (given(output) &&
        !ParseOutput(output, config, Problem{VirtualOutputVariable, output, error})) {
        return std::nullopt;
    }
    if (given(clock) && !ParseClock(clock, config, Problem{VirtualClockVariable, clock, error})) {
        return std::nullopt;
    }
    return config;
}

std::optional<VirtualDeviceConfig> VirtualDeviceConfig::FromEnvironment(std::string* error) {
    return FromStrings(std::getenv(VirtualInputVariable), std::getenv(VirtualOutputVariable),
                       std::getenv(VirtualClockVariable), error);
}

}  // namespace kora486
