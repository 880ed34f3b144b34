// Latency through the real sound devices (the PortAudio backend), as a host sees it through the
// control: from StartRecording to the first recorded buffer, from Stop to the recording-stopped
// notification, from StartPlayback to the first played buffer and from Stop to the
// playback-stopped notification. Each over 20 runs; prints the median and the worst.
//
// It plays a tone on the default output, so run it next to the private sound server:
//   scripts/sound-server run build/default/bench/latency_bench

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineProtocol.h"
#include "platform/PcmWavFile.h"
#include "platform/PortAudioDevices.h"
#include "surface/Kora486Ctrl.h"

namespace kora486 {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int Runs = 20;
// What a host can expect of every stop: the engine's buffers are 0.1 s each.
constexpr double StopAimSeconds = 0.15;

struct Measure {
    const char* what;
    std::vector<double> seconds;
};

template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(200us);
    }
    return true;
}

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Takes the notification window's messages until `notification` arrives; answers whether it did.
bool TakeNotification(Kora486Ctrl& ctrl, int32_t notification) {
    bool seen = false;
    WaitFor([&] {
        while (auto m = ctrl.NotifyWindow().Peek()) {
            seen = seen || (m->id == EngineNotifyMessage &&
                            static_cast<int32_t>(m->wParam) == notification);
        }
        return seen;
    });
    return seen;
}

bool WriteTone(const std::string& path, const WaveFormatEx& f, double seconds) {
    const auto frames = static_cast<size_t>(seconds * f.samplesPerSec);
    std::vector<uint8_t> image;
    const auto header = PcmWavHeader(f, static_cast<uint32_t>(frames * f.blockAlign));
    image.assign(header.begin(), header.end());
    for (size_t i = 0; i < frames; ++i) {
        const double x = 0.25 * std::sin(2 * std::numbers::pi * 997.0 * static_cast<double>(i) /
                                         f.samplesPerSec);
        const auto s = static_cast<uint16_t>(static_cast<int16_t>(std::lround(32767 * x)));
        for (int c = 0; c < f.channels; ++c) {
            image.push_back(static_cast<uint8_t>(s));
            image.push_back(static_cast<uint8_t>(s >> 8));
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()),
              static_cast<std::streamsize>(image.size()));
    return out.good();
}

void Print(const Measure& m) {
    std::vector<double> s = m.seconds;
    std::sort(s.begin(), s.end());
    const double median =
        s.size() % 2 == 1 ? s[s.size() / 2] : (s[s.size() / 2 - 1] + s[s.size() / 2]) / 2;
    std::printf("%-40s median %7.1f ms   worst %7.1f ms   (%zu runs)\n", m.what, median * 1e3,
                s.back() * 1e3, s.size());
}

int Run() {
    PortAudioDevices devices;
    if (!devices.StartError().empty()) {
        std::fprintf(stderr, "latency_bench: PortAudio did not start: %s\n",
                     devices.StartError().c_str());
        return 1;
    }
    std::string input, output;
    if (devices.InputDeviceName(WaveMapper, input) != MmNoError ||
        devices.OutputDeviceName(WaveMapper, output) != MmNoError) {
        std::fprintf(stderr, "latency_bench: no default input or output device\n");
        return 1;
    }
    std::printf("PortAudio default input \"%s\", output \"%s\"; 16-bit stereo 44100 Hz\n",
                input.c_str(), output.c_str());

    char pattern[] = "/tmp/kora486-latency-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("latency_bench: mkdtemp");
        return 1;
    }
    const fs::path dir = pattern;
    const WaveFormatEx format{WaveFormatPcm, 2, 44100, 44100 * 4, 4, 16, 0};
    const std::string tone = (dir / "tone.wav").string();
    if (!WriteTone(tone, format, 2.0)) {
        std::fprintf(stderr, "latency_bench: cannot write %s\n", tone.c_str());
        return 1;
    }

    Measure firstRecorded{"StartRecording -> first recorded buffer", {}};
    Measure recordStop{"Stop -> NotifyRecordingStopped", {}};
    Measure firstPlayed{"StartPlayback -> first played buffer", {}};
    Measure playStop{"Stop -> NotifyPlaybackStopped", {}};
    int status = 0;
    {
        Kora486Ctrl recorder(devices);
        Kora486Ctrl player(devices);
        if (recorder.OpenNewFile((dir / "recorded.wav").string()) != 0 ||
            player.OpenExistingOrNewFile(tone) != 0) {
            std::fprintf(stderr, "latency_bench: cannot open the files in %s\n", pattern);
            status = 1;
        }
        for (int run = 0; run < Runs && status == 0; ++run) {
            const int32_t from = recorder.CurrentSamplePosition();
            auto start = Clock::now();
            if (const int16_t code = recorder.StartRecording(); code != 0) {
                std::fprintf(stderr, "latency_bench: StartRecording answered %d\n", code);
                status = 1;
                break;
            }
            WaitFor([&] { return recorder.CurrentSamplePosition() > from; });
            firstRecorded.seconds.push_back(Since(start));
            std::this_thread::sleep_for(200ms);
            start = Clock::now();
            recorder.Stop();
            TakeNotification(recorder, NotifyRecordingStopped);
            recordStop.seconds.push_back(Since(start));
            recorder.FinishRecordingFile();

            // The control has no position member yet; its state holds the position.
            player.PutCurrentSamplePosition(0);
            start = Clock::now();
            if (const int16_t code = player.StartPlayback(); code != 0) {
                std::fprintf(stderr, "latency_bench: StartPlayback answered %d\n", code);
                status = 1;
                break;
            }
            WaitFor([&] { return player.CurrentSamplePosition() > 0; });
            firstPlayed.seconds.push_back(Since(start));
            std::this_thread::sleep_for(200ms);
            start = Clock::now();
            player.Stop();
            TakeNotification(player, NotifyPlaybackStopped);
            playStop.seconds.push_back(Since(start));
        }
    }
    fs::remove_all(dir);
    if (status != 0) {
        return status;
    }
    for (const Measure* m : {&firstRecorded, &recordStop, &firstPlayed, &playStop}) {
        Print(*m);
    }
    const double worstStop =
        std::max(*std::max_element(recordStop.seconds.begin(), recordStop.seconds.end()),
                 *std::max_element(playStop.seconds.begin(), playStop.seconds.end()));
    std::printf("every stop within %.2f s: %s (worst %.1f ms)\n", StopAimSeconds,
                worstStop <= StopAimSeconds ? "yes" : "NO", worstStop * 1e3);
    std::printf("input overruns %llu, output underruns %llu\n",
                static_cast<unsigned long long>(devices.InputOverruns()),
                static_cast<unsigned long long>(devices.OutputUnderruns()));
    return 0;
}

}  // namespace
}  // namespace kora486

int main() {
    return kora486::Run();
}
