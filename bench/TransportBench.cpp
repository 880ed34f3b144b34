// Recording, playback and insert throughput of the control against baselines run side by side:
// a plain write loop, SoX, a plain read loop and cp. Also the engine's resident memory after a
// long recording. Prints one line per comparison with the ratio.
//
//   transport_bench [--seconds N] [--insert-mib N] [--repeat N] [--cold] [--dir PATH]
//
// Each comparison runs --repeat times (3) and reports the best time of each side. --cold drops
// the page cache (root only) before each insert and cp run, besides the warm runs.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "engine/SampleFormat.h"
#include "platform/PcmWavFile.h"
#include "platform/VirtualDevices.h"
#include "platform/VirtualSinks.h"
#include "surface/Kora486Ctrl.h"

namespace kora486 {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t Rate = 44100;
constexpr uint32_t BufferBytes = 17640;  // 0.1 s of 16-bit stereo

// One second of a 16-bit stereo sine, the sound every run records.
std::vector<uint8_t> SineSecond() {
    std::vector<uint8_t> bytes(Rate * 4);
    for (uint32_t i = 0; i < Rate; ++i) {
        const auto v =
            static_cast<int16_t>(12000 * std::sin(2 * std::numbers::pi * 440 * i / Rate));
        std::memcpy(&bytes[4 * i], &v, 2);
        std::memcpy(&bytes[4 * i + 2], &v, 2);
    }
    return bytes;
}

const std::vector<uint8_t> Sine = SineSecond();

// Loops the second of sine into whatever the device asks for; a copy, as cheap as an input gets.
class LoopSource final : public InputSource {
public:
    void Fill(uint8_t* data, uint32_t bytes, const WaveFormatEx&) override {
        for (uint32_t done = 0; done < bytes;) {
            const uint32_t n = std::min<uint32_t>(bytes - done, Sine.size() - at_);
            std::memcpy(data + done, Sine.data() + at_, n);
            at_ = (at_ + n) % Sine.size();
            done += n;
        }
    }

private:
    size_t at_ = 0;
};

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

long ResidentKib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

// Waits as a host's event loop would: taking the engine's notifications as they come.
void WaitForStatusFileOpen(Kora486Ctrl& ctrl) {
    while (ctrl.Status() != StatusFileOpen) {
        while (ctrl.NotifyWindow().Peek()) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    while (ctrl.NotifyWindow().Peek()) {
    }
}

void DropPageCache() {
    sync();
    std::ofstream("/proc/sys/vm/drop_caches") << "3\n";
}

int Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

void Report(const char* what, double ours, double baseline, const char* baselineName,
            double samples) {
    std::printf("%-34s %8.3f s (%7.1f Msamples/s)  %-9s %8.3f s  ratio %.2f\n", what, ours,
                samples / ours / 1e6, baselineName, baseline, baseline / ours);
}

class Bench {
public:
    Bench(fs::path dir, int seconds, int insertMib, bool cold, int repeats)
        : dir_(std::move(dir)),
          seconds_(seconds),
          insertMib_(insertMib),
          cold_(cold),
          repeats_(repeats),
          devices_(Config()),
          ctrl_(devices_) {
        ctrl_.Reset();
    }

    // Records `seconds` of sound into a new file in the format code; answers the seconds taken.
    double Record(const fs::path& path, int16_t code, int seconds) {
        ctrl_.PutBitsPerSample(code);
        ctrl_.OpenNewFile(path);
        ctrl_.PutRecordLimit(seconds * static_cast<int32_t>(Rate));
        sync();  // each run starts with no dirty pages of the one before
        const auto start = Clock::now();
        if (ctrl_.StartRecording() != ErrNone) {
            std::fprintf(stderr, "recording did not start\n");
            std::exit(1);
        }
        WaitForStatusFileOpen(ctrl_);
        const double took = Seconds(start);
        ctrl_.FinishRecordingFile();
        ctrl_.PutRecordLimit(0);
        ctrl_.Reset();
        return took;
    }

    void RecordingAndMemory() {
        const double frames = double(seconds_) * Rate;
        Record(dir_ / "short.wav", FormatPcm16, 1);
        const long afterSecond = ResidentKib();
        double ours = Record(dir_ / "hour.wav", FormatPcm16, seconds_);
        const long afterHour = ResidentKib();
        double plain = PlainWrite();
        for (int r = 1; r < repeats_; ++r) {
            ours = std::min(ours, Record(dir_ / "hour.wav", FormatPcm16, seconds_));
            plain = std::min(plain, PlainWrite());
        }
        Report("record PCM 16-bit stereo", ours, plain, "write()", frames * 2);
        std::printf("%-34s %ld KiB after 1 s, %ld KiB after %d s: %+ld KiB\n",
                    "engine resident memory", afterSecond, afterHour, seconds_,
                    afterHour - afterSecond);
    }

    // The baseline of recording: the same buffers written to a file in a plain loop.
    double PlainWrite() {
        sync();
        const auto start = Clock::now();
        const int fd = open((dir_ / "plain.raw").c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        std::vector<uint8_t> buffer(BufferBytes);
        LoopSource source;
        for (int i = 0; i < seconds_ * 10; ++i) {
            source.Fill(buffer.data(), BufferBytes, {});
            if (write(fd, buffer.data(), BufferBytes) != BufferBytes) {
                std::perror("write");
                std::exit(1);
            }
        }
        close(fd);
        const double took = Seconds(start);
        fs::remove(dir_ / "plain.raw");
        return took;
    }

    void ALawRecording() {
        const double frames = double(seconds_) * Rate;
        double ours = 1e9;
        double sox = 1e9;
        for (int r = 0; r < repeats_; ++r) {
            ours = std::min(ours, Record(dir_ / "alaw.wav", FormatALaw, seconds_));
            fs::remove(dir_ / "alaw.wav");
            sync();
            const auto start = Clock::now();
            const int status = Run("sox '" + (dir_ / "hour.wav").string() + "' -e a-law -b 8 '" +
                                   (dir_ / "sox-alaw.wav").string() + "'");
            sox = std::min(sox, Seconds(start));
            fs::remove(dir_ / "sox-alaw.wav");
            if (status != 0) {
                std::printf("%-34s %8.3f s; sox did not run\n", "record A-law", ours);
                return;
            }
        }
        Report("record A-law", ours, sox, "sox", frames * 2);
    }

    void Playback() {
        const double frames = double(seconds_) * Rate;
        double ours = 1e9;
        double plain = 1e9;
        for (int r = 0; r < repeats_; ++r) {
            ctrl_.OpenExistingOrNewFile(dir_ / "hour.wav");
            ctrl_.PutCurrentSamplePosition(0);
            auto start = Clock::now();
            ctrl_.StartPlayback();
            WaitForStatusFileOpen(ctrl_);
            ours = std::min(ours, Seconds(start));
            ctrl_.Reset();

            start = Clock::now();
            const int fd = open((dir_ / "hour.wav").c_str(), O_RDONLY);
            std::vector<uint8_t> buffer(BufferBytes);
            while (read(fd, buffer.data(), BufferBytes) > 0) {
            }
            close(fd);
            plain = std::min(plain, Seconds(start));
        }
        Report("play PCM 16-bit stereo", ours, plain, "read()", frames * 2);
    }

    void Insert() {
        const fs::path big = dir_ / "big.wav";
        const fs::path copy = dir_ / "copy.wav";
        const uint32_t dataBytes = static_cast<uint32_t>(insertMib_) * 1024 * 1024;
        {
            // A recording of insertMib of sine, written once.
            WaveFormatEx format{WaveFormatPcm, 2, Rate, Rate * 4, 4, 16, 0};
            const auto header = PcmWavHeader(format, dataBytes);
            std::ofstream out(big, std::ios::binary);
            out.write(reinterpret_cast<const char*>(header.data()), header.size());
            for (uint32_t done = 0; done < dataBytes;) {
                const uint32_t n = std::min<uint32_t>(dataBytes - done, Sine.size());
                out.write(reinterpret_cast<const char*>(Sine.data()), n);
                done += n;
            }
        }
        const double bytes = dataBytes;
        for (const bool cold : {false, true}) {
            if (cold && !cold_) {
                continue;
            }
            double ours = 1e9;
            double cp = 1e9;
            for (int r = 0; r < repeats_; ++r) {
                // cp first, then the insert, each on the cache state asked for.
                PrepareCache(big, cold);
                auto start = Clock::now();
                Run("cp '" + big.string() + "' '" + copy.string() + "'");
                cp = std::min(cp, Seconds(start));
                fs::remove(copy);

                PrepareCache(big, cold);
                ctrl_.OpenExistingOrNewFile(big);
                ctrl_.PutInsert(1);
                ctrl_.PutCurrentSamplePosition(0);
                ctrl_.PutRecordLimit(static_cast<int32_t>(Rate));
                start = Clock::now();
                ctrl_.StartRecording();
                WaitForStatusFileOpen(ctrl_);
                ours = std::min(ours, Seconds(start));
                ctrl_.FinishRecordingFile();
                ctrl_.PutRecordLimit(0);
                ctrl_.PutInsert(0);
                ctrl_.Reset();
            }
            std::printf("%-34s %8.3f s (%7.1f MiB/s)  %-9s %8.3f s  ratio %.2f\n",
                        cold ? "insert 1 s at start, cold cache" : "insert 1 s at start, warm",
                        ours, bytes / ours / 1048576, "cp", cp, cp / ours);
        }
        fs::remove(big);
    }

private:
    // Warm: the file read into the page cache; cold: the cache dropped. Neither run starts with
    // dirty pages left by the one before.
    static void PrepareCache(const fs::path& file, bool cold) {
        if (cold) {
            DropPageCache();
        } else {
            sync();
            Run("cat '" + file.string() + "' > /dev/null");
        }
    }

    static VirtualDeviceConfig Config() {
        VirtualDeviceConfig config;
        config.clock = VirtualClock::Fast;
        config.makeSource = [] { return std::make_unique<LoopSource>(); };
        config.makeSink = [] { return MakeDiscardSink(); };
        return config;
    }

    fs::path dir_;
    int seconds_;
    int insertMib_;
    bool cold_;
    int repeats_;
    VirtualDevices devices_;
    Kora486Ctrl ctrl_;
};

}  // namespace
}  // namespace kora486

int main(int argc, char** argv) {
    int seconds = 3600;
    int insertMib = 1024;
    bool cold = false;
    int repeats = 3;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--insert-mib" && i + 1 < argc) {
            insertMib = std::atoi(argv[++i]);
        } else if (arg == "--repeat" && i + 1 < argc) {
            repeats = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--cold") {
            cold = true;
        } else if (arg == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--seconds N] [--insert-mib N] [--repeat N] [--cold] [--dir PATH]\n",
                argv[0]);
            return 2;
        }
    }
    namespace fs = std::filesystem;
    fs::path work;
    if (dir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "kora486-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        work = pattern;
    } else {
        work = dir;
        fs::create_directories(work);
    }
    std::printf("%d s of 44100 Hz 16-bit stereo; insert into %d MiB; files in %s\n", seconds,
                insertMib, work.c_str());
    {
        kora486::Bench bench(work, seconds, insertMib, cold, repeats);
        bench.RecordingAndMemory();
        bench.ALawRecording();
        bench.Playback();
        bench.Insert();
    }
    if (dir.empty()) {
        fs::remove_all(work);
    }
    return 0;
}
