// Throughput of the G.711 buffer codecs against the per-sample algorithm and against a plain copy
// of the same buffer. After the usual Google Benchmark report a table of the ratios is printed.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "engine/G711.h"

namespace kora486 {
namespace {

// One device buffer as the engine sees it: 0.1 s of 44100 stereo.
constexpr size_t BufferSamples = 8820;

// Two tones (one per channel) with noise, so both signs and most segments occur unpredictably.
std::vector<int16_t> MakeSamples() {
    std::mt19937 random(486);
    std::uniform_real_distribution<double> noise(-1500.0, 1500.0);
    std::vector<int16_t> samples(BufferSamples);
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i / 2) / 44100.0;
        const double hz = i % 2 == 0 ? 440.0 : 554.37;
        const double value = 12000.0 * std::sin(2.0 * std::numbers::pi * hz * t) + noise(random);
        samples[i] = static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
    }
    return samples;
}

const std::vector<int16_t> Samples = MakeSamples();

std::vector<uint8_t> Encoded(void (*encode)(const int16_t*, uint8_t*, size_t)) {
    std::vector<uint8_t> codes(Samples.size());
    encode(Samples.data(), codes.data(), codes.size());
    return codes;
}

const std::vector<uint8_t> ALawCodes = Encoded(EncodeALaw);
const std::vector<uint8_t> MuLawCodes = Encoded(EncodeMuLaw);

// The per-sample algorithm over a buffer, as a loop without tables would run it.
template <uint8_t (*Encode)(int32_t)>
void EncodeEach(const int16_t* samples, uint8_t* codes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        codes[i] = Encode(samples[i]);
    }
}

template <int32_t (*Decode)(uint8_t)>
void DecodeEach(const uint8_t* codes, int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>(Decode(codes[i]));
    }
}

void Copy(const int16_t* from, int16_t* to, size_t count) {
    std::memcpy(to, from, count * sizeof(int16_t));
}

template <typename In, typename Out>
void RegisterConversion(const std::string& name, const std::vector<In>& input,
                        void (*convert)(const In*, Out*, size_t)) {
    benchmark::RegisterBenchmark(name.c_str(), [&input, convert](benchmark::State& state) {
        std::vector<Out> output(input.size());
        for (auto _ : state) {
            convert(input.data(), output.data(), input.size());
            benchmark::DoNotOptimize(output.data());
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
    });
}

// The console report, plus the items per second of every run kept by name for the ratio table.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    RecordingReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With repetitions the median stands for the family; it arrives after the runs.
            const bool usable = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
            const auto rate = run.counters.find("items_per_second");
            if (usable && !run.error_occurred && rate != run.counters.end()) {
                itemsPerSecond_[run.run_name.function_name] = rate->second.value;
            }
        }
    }

    double MegaItemsPerSecond(const std::string& name) const {
        const auto found = itemsPerSecond_.find(name);
        return found == itemsPerSecond_.end() ? 0.0 : found->second / 1e6;
    }

private:
    std::map<std::string, double> itemsPerSecond_;
};

void PrintRatios(const RecordingReporter& reporter) {
    const double copy = reporter.MegaItemsPerSecond("Memcpy16");
    std::printf("\n%-12s %14s %14s %14s %12s %12s\n", "Msamples/s", "ours", "reference", "memcpy",
                "ours/ref", "ours/memcpy");
    for (const char* operation : {"EncodeALaw", "EncodeMuLaw", "DecodeALaw", "DecodeMuLaw"}) {
        const double ours = reporter.MegaItemsPerSecond(std::string(operation) + "/ours");
        const double reference = reporter.MegaItemsPerSecond(std::string(operation) + "/reference");
        if (ours == 0.0) {
            continue;  // filtered out of this run
        }
        std::printf("%-12s %14.1f %14.1f %14.1f %11.2fx %11.2fx\n", operation, ours, reference,
                    copy, reference > 0.0 ? ours / reference : 0.0, copy > 0.0 ? ours / copy : 0.0);
    }
}

}  // namespace
}  // namespace kora486

int main(int argc, char** argv) {
    using namespace kora486;
    RegisterConversion<int16_t, uint8_t>("EncodeALaw/ours", Samples, EncodeALaw);
    RegisterConversion<int16_t, uint8_t>("EncodeALaw/reference", Samples,
                                         EncodeEach<g711reference::LinearToALaw>);
    RegisterConversion<int16_t, uint8_t>("EncodeMuLaw/ours", Samples, EncodeMuLaw);
    RegisterConversion<int16_t, uint8_t>("EncodeMuLaw/reference", Samples,
                                         EncodeEach<g711reference::LinearToMuLaw>);
    RegisterConversion<uint8_t, int16_t>("DecodeALaw/ours", ALawCodes, DecodeALaw);
    RegisterConversion<uint8_t, int16_t>("DecodeALaw/reference", ALawCodes,
                                         DecodeEach<g711reference::ALawToLinear>);
    RegisterConversion<uint8_t, int16_t>("DecodeMuLaw/ours", MuLawCodes, DecodeMuLaw);
    RegisterConversion<uint8_t, int16_t>("DecodeMuLaw/reference", MuLawCodes,
                                         DecodeEach<g711reference::MuLawToLinear>);
    // The 17640-byte device buffer itself: the most any conversion of it could hope for.
    RegisterConversion<int16_t, int16_t>("Memcpy16", Samples, Copy);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
