// Through a real sound server: the PortAudio backend plays into a null sink and records from its
// monitor. scripts/sound-server starts the private server these tests need and sets
// KORA486_LOOPBACK; without it they are skipped.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>

#include "engine/ControlCodes.h"
#include "platform/PcmWavFile.h"
#include "platform/PortAudioDevices.h"
#include "support/WavBuilder.h"
#include "surface/Kora486Ctrl.h"

namespace kora486 {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Not a divisor of either rate, and 0.1 s of it is not a whole number of cycles: every sample of a
// cycle differs, and a lost or repeated buffer shifts the phase where it happens.
constexpr double ToneHz = 997.0;
constexpr double ToneDbfs = -6.0;
constexpr double ToneSeconds = 3.0;
constexpr auto Patience = 10s;  // only reached when something is broken

WaveFormatEx Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return {WaveFormatPcm, channels, rate, rate * align, align, bits, 0};
}

template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("KORA486_LOOPBACK") == nullptr) {
            GTEST_SKIP() << "needs the private sound server: run through scripts/test, or "
                            "scripts/sound-server run build/default/tests/loopback_tests";
        }
        devices = std::make_unique<PortAudioDevices>();
        ASSERT_EQ(devices->StartError(), "");
        ASSERT_GT(devices->InputDeviceCount(), 0u);
        ASSERT_GT(devices->OutputDeviceCount(), 0u);
        char pattern[] = "/tmp/kora486-loopback-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override {
        if (!dir.empty()) {
            fs::remove_all(dir);
        }
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good()) << path;
    }

    // A WAV of the tone on every channel.
    void WriteTone(const std::string& path, const WaveFormatEx& f) {
        const auto frames = static_cast<size_t>(ToneSeconds * f.samplesPerSec);
        const double amplitude = std::pow(10.0, ToneDbfs / 20.0);
        std::vector<uint8_t> data;
        for (size_t i = 0; i < frames; ++i) {
            const double x = amplitude * std::sin(2 * std::numbers::pi * ToneHz *
                                                  static_cast<double>(i) / f.samplesPerSec);
            for (int c = 0; c < f.channels; ++c) {
                if (f.bitsPerSample == 8) {
                    data.push_back(static_cast<uint8_t>(std::lround(128 + 127 * x)));
                } else {
                    const auto s =
                        static_cast<uint16_t>(static_cast<int16_t>(std::lround(32767 * x)));
                    data.push_back(static_cast<uint8_t>(s));
                    data.push_back(static_cast<uint8_t>(s >> 8));
                }
            }
        }
        const auto header = PcmWavHeader(f, static_cast<uint32_t>(data.size()));
        std::vector<uint8_t> image(header.begin(), header.end());
        image.insert(image.end(), data.begin(), data.end());
        WriteFile(path, image);
    }

    std::unique_ptr<PortAudioDevices> devices;
    fs::path dir;
};

// One channel of a recording as samples in [-1, 1).
std::vector<double> Channel(const PcmWav& wav, int channel) {
    const WaveFormatEx& f = wav.format;
    std::vector<double> x;
    for (size_t at = size_t(channel) * (f.bitsPerSample / 8); at < wav.samples.size();
         at += f.blockAlign) {
        if (f.bitsPerSample == 8) {
            x.push_back((wav.samples[at] - 128) / 128.0);
        } else {
            x.push_back(static_cast<int16_t>(wav.samples[at] | (wav.samples[at + 1] << 8)) /
                        32768.0);
        }
    }
    return x;
}

double Db(double ratio) {
    return 20 * std::log10(ratio);
}

// Checks that one recorded channel holds the whole tone once, without a gap or a jump.
void ExpectTone(const std::vector<double>& x, uint32_t rate, int bits) {
    const double amplitude = std::pow(10.0, ToneDbfs / 20.0);
    const double lsb = bits == 8 ? 1 / 128.0 : 1 / 32768.0;
    // The tone's first and last samples above half its amplitude: within a third of a cycle of
    // where it begins and ends.
    const auto loud = [&](double v) { return std::abs(v) > amplitude / 2; };
    const auto first = std::find_if(x.begin(), x.end(), loud);
    ASSERT_NE(first, x.end()) << "no tone in the recording";
    const auto last = std::find_if(x.rbegin(), x.rend(), loud).base() - 1;
    const auto onset = static_cast<size_t>(first - x.begin());
    const auto end = static_cast<size_t>(last - x.begin());
    const double period = rate / ToneHz;
    // A lost or repeated stretch of even a millisecond changes the length.
    EXPECT_NEAR(static_cast<double>(end - onset) / rate, ToneSeconds, 0.001 + 1.0 / ToneHz);

    // The steady part, clear of the edges and of any resampler ringing there.
    const size_t from = onset + rate / 4;
    const size_t to = end - rate / 4;
    ASSERT_LT(from + rate, to);

    double sum = 0;
    for (size_t i = from; i < to; ++i) {
        sum += x[i] * x[i];
    }
    const double rms = std::sqrt(sum / static_cast<double>(to - from));
    EXPECT_NEAR(Db(rms * std::numbers::sqrt2), ToneDbfs, 1.0);

    // No gap: every 5 ms holds the tone at its level.
    const size_t window = rate / 200;
    for (size_t at = from; at + window <= to; at += window) {
        double w = 0;
        for (size_t i = at; i < at + window; ++i) {
            w += x[i] * x[i];
        }
        const double level = std::sqrt(w / static_cast<double>(window));
        ASSERT_NEAR(Db(level / rms), 0.0, 1.0) << "at frame " << at;
    }

    // No jump: no step between samples steeper than the sine's own.
    const double steepest = 2 * amplitude * std::sin(std::numbers::pi * ToneHz / rate);
    for (size_t i = from + 1; i < to; ++i) {
        ASSERT_LE(std::abs(x[i] - x[i - 1]), 1.1 * steepest + 3 * lsb) << "at frame " << i;
    }

    // Phase continuity: the rising zero crossings lie on one straight line, whose slope is the
    // period. A skipped or repeated stretch that is not a whole number of cycles bends it.
    std::vector<double> crossings;
    for (size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            crossings.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
        }
    }
    ASSERT_GT(crossings.size(), 100u);
    const double n = static_cast<double>(crossings.size());
    double sk = 0, st = 0, skk = 0, skt = 0;
    for (size_t k = 0; k < crossings.size(); ++k) {
        const double kk = static_cast<double>(k);
        sk += kk;
        st += crossings[k];
        skk += kk * kk;
        skt += kk * crossings[k];
    }
    const double slope = (n * skt - sk * st) / (n * skk - sk * sk);
    const double intercept = (st - slope * sk) / n;
    EXPECT_NEAR(rate / slope, ToneHz, 1.0);
    double worst = 0;
    for (size_t k = 0; k < crossings.size(); ++k) {
        worst = std::max(worst, std::abs(crossings[k] - (intercept + slope * double(k))));
    }
    EXPECT_LT(worst, 0.05 * period) << "phase jumps by " << worst / period << " cycle";
}

struct ToneCase {
    const char* name;
    int16_t bits;
    int16_t channels;
    int32_t rate;
};

void PrintTo(const ToneCase& c, std::ostream* out) {
    *out << c.name;
}

class LoopbackTone : public Loopback, public ::testing::WithParamInterface<ToneCase> {};

// The control plays the tone into the sink while a second control records the sink's monitor.
TEST_P(LoopbackTone, RecordsWhatIsPlayedWithoutGapsOrRepeats) {
    const ToneCase& c = GetParam();
    const WaveFormatEx format =
        Pcm(static_cast<uint32_t>(c.rate), static_cast<uint16_t>(c.channels),
            static_cast<uint16_t>(c.bits));
    WriteTone(Path("tone.wav"), format);
    {
        Kora486Ctrl player(*devices);
        Kora486Ctrl recorder(*devices);
        ASSERT_EQ(recorder.PutSampleRate(c.rate), S_OK);
        ASSERT_EQ(recorder.PutBitsPerSample(c.bits), S_OK);
        ASSERT_EQ(recorder.PutNumChannels(c.channels), S_OK);
        ASSERT_EQ(recorder.OpenNewFile(Path("recorded.wav")), ErrNone);
        ASSERT_EQ(player.OpenExistingOrNewFile(Path("tone.wav")), ErrNone);
        // An opened file stands at its end; the control has no position member yet.
        player.PutCurrentSamplePosition(0);

        ASSERT_EQ(recorder.StartRecording(), ErrNone);
        ASSERT_TRUE(WaitFor([&] { return recorder.CurrentSamplePosition() > 0; }, Patience));
        ASSERT_EQ(player.StartPlayback(), ErrNone);
        ASSERT_TRUE(WaitFor([&] { return player.Status() == StatusFileOpen; },
                            Patience + std::chrono::seconds(int(ToneSeconds))));
        EXPECT_EQ(player.CurrentSamplePosition(), player.NumSamples());
        // What is still on its way through the server reaches the monitor.
        std::this_thread::sleep_for(500ms);
        recorder.Stop();
        EXPECT_EQ(recorder.Status(), StatusFileOpen);
        recorder.FinishRecordingFile();
        EXPECT_GT(recorder.NumSamples(), c.rate * ToneSeconds);
    }
    RecordProperty("input_overruns", std::to_string(devices->InputOverruns()));
    RecordProperty("output_underruns", std::to_string(devices->OutputUnderruns()));

    std::string error;
    const auto recorded = ReadPcmWavFile(Path("recorded.wav"), &error);
    ASSERT_TRUE(recorded) << error;
    ASSERT_EQ(recorded->format, format);
    for (int channel = 0; channel < c.channels; ++channel) {
        SCOPED_TRACE("channel " + std::to_string(channel));
        ExpectTone(Channel(*recorded, channel), format.samplesPerSec, c.bits);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, LoopbackTone,
                         ::testing::Values(ToneCase{"Pcm16Stereo44100", 16, 2, 44100},
                                           ToneCase{"Pcm8Mono8000", 8, 1, 8000}),
                         [](const auto& info) { return std::string(info.param.name); });

// A format the server refuses and a device number past the count fail the start with the
// control's codes for each direction.
TEST_F(Loopback, StartsFailWithTheirCodesOnRefusedFormatsAndMissingDevices) {
    // 40 channels: a WAV file may hold them, the server takes at most 32.
    WriteFile(Path("wide.wav"), testing::WavBuilder()
                                    .Riff()
                                    .Chunk("fmt ", testing::WavBuilder::Format(1, 40, 8000, 16))
                                    .Chunk("data", std::vector<uint8_t>(80 * 800))
                                    .Bytes());
    WriteTone(Path("tone.wav"), Pcm(8000, 1, 16));
    const struct {
        const char* what;
        const char* file;
        bool missingDevice;
        bool record;
        int16_t code;
    } cases[] = {
        {"record, refused format", "wide.wav", false, true, ErrRecordStart},
        {"record, no such device", "tone.wav", true, true, ErrRecordStart},
        {"play, refused format", "wide.wav", false, false, ErrPlayStart},
        {"play, no such device", "tone.wav", true, false, ErrPlayStart},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Kora486Ctrl ctrl(*devices);
        ASSERT_EQ(ctrl.OpenExistingOrNewFile(Path(c.file)), ErrNone);
        ctrl.PutCurrentSamplePosition(0);
        if (c.missingDevice) {
            // The control has no device members yet; its state holds the numbers it opens.
            ctrl.PutRecordDevice(static_cast<int32_t>(devices->InputDeviceCount()));
            ctrl.PutPlaybackDevice(static_cast<int32_t>(devices->OutputDeviceCount()));
        }
        EXPECT_EQ(c.record ? ctrl.StartRecording() : ctrl.StartPlayback(), c.code);
        EXPECT_EQ(ctrl.Status(), StatusFileOpen);
        EXPECT_EQ(ctrl.LastError(), c.code);
    }
}

// The service's own answers, before any device opens.
TEST_F(Loopback, AnswersNamesAndFormatQueriesFromPortAudio) {
    std::string name;
    ASSERT_EQ(devices->InputDeviceName(WaveMapper, name), MmNoError);
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), MaxDeviceNameLength);
    const auto inputs = static_cast<int>(devices->InputDeviceCount());
    const auto outputs = static_cast<int>(devices->OutputDeviceCount());
    EXPECT_EQ(devices->InputDeviceName(inputs, name), MmBadDeviceId);
    EXPECT_EQ(devices->OutputDeviceName(outputs, name), MmBadDeviceId);

    WaveFormatEx alaw = Pcm(8000, 1, 8);
    alaw.formatTag = WaveFormatALaw;
    const struct {
        const char* what;
        int device;
        WaveFormatEx format;
        MmResult result;
    } cases[] = {
        {"16-bit stereo", WaveMapper, Pcm(44100, 2, 16), MmNoError},
        {"8-bit mono", WaveMapper, Pcm(8000, 1, 8), MmNoError},
        {"40 channels", WaveMapper, Pcm(8000, 40, 16), WaveBadFormat},
        {"24-bit", WaveMapper, Pcm(8000, 1, 24), WaveBadFormat},
        {"A-law tag", WaveMapper, alaw, WaveBadFormat},
        {"device past the count", -2, Pcm(8000, 1, 16), MmBadDeviceId},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(devices->QueryInputFormat(c.device == -2 ? inputs : c.device, c.format),
                  c.result);
        EXPECT_EQ(devices->QueryOutputFormat(c.device == -2 ? outputs : c.device, c.format),
                  c.result);
    }
}

// 8000 Hz 16-bit mono: 1600 bytes are 0.1 s.
const WaveFormatEx Format8k = Pcm(8000, 1, 16);
constexpr uint32_t TenthBytes = 1600;

struct Buffers {
    explicit Buffers(size_t n) : blocks(n, std::vector<uint8_t>(TenthBytes)), headers(n) {
        for (size_t i = 0; i < n; ++i) {
            headers[i].data = blocks[i].data();
            headers[i].bufferLength = TenthBytes;
        }
    }
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<WaveHeader> headers;
};

// Waits for the next message and takes it.
std::optional<Message> NextMessage(MessageQueue& queue, std::chrono::milliseconds timeout) {
    if (!WaitFor([&] { return queue.Size() > 0; }, timeout)) {
        return std::nullopt;
    }
    return queue.Get();
}

TEST_F(Loopback, InputReturnsBuffersInOrderAndAllAtOnceOnReset) {
    MessageQueue queue;
    std::unique_ptr<WaveInDevice> in;
    ASSERT_EQ(devices->OpenInput(WaveMapper, Format8k, queue, in), MmNoError);
    const auto id = reinterpret_cast<uintptr_t>(in.get());
    Buffers b(4);
    for (WaveHeader& h : b.headers) {
        ASSERT_EQ(in->PrepareHeader(h), MmNoError);
        ASSERT_EQ(in->AddBuffer(h), MmNoError);
        EXPECT_NE(h.flags & WhdrInQueue, 0u);
    }
    EXPECT_EQ(in->Close(), WaveStillPlaying);
    EXPECT_EQ(in->UnprepareHeader(b.headers[0]), WaveStillPlaying);
    // Nothing is captured before Start.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(queue.Size(), 0u);

    ASSERT_EQ(in->Start(), MmNoError);
    auto first = NextMessage(queue, Patience);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id, MmWimData);
    EXPECT_EQ(first->wParam, id);
    EXPECT_EQ(first->lParam, reinterpret_cast<intptr_t>(&b.headers[0]));
    EXPECT_EQ(b.headers[0].bytesRecorded, TenthBytes);
    EXPECT_EQ(b.headers[0].flags & (WhdrDone | WhdrInQueue), WhdrDone);

    ASSERT_EQ(in->Reset(), MmNoError);
    // Every other buffer is back by the time Reset returns, in the order it was queued.
    ASSERT_GE(queue.Size(), 3u);
    for (size_t i = 1; i < b.headers.size(); ++i) {
        const Message m = queue.Get();
        EXPECT_EQ(m.id, MmWimData);
        EXPECT_EQ(m.lParam, reinterpret_cast<intptr_t>(&b.headers[i]));
        EXPECT_LE(b.headers[i].bytesRecorded, TenthBytes);
        EXPECT_EQ(b.headers[i].bytesRecorded % Format8k.blockAlign, 0u);
        EXPECT_EQ(b.headers[i].flags & (WhdrDone | WhdrInQueue), WhdrDone);
    }
    EXPECT_EQ(queue.Size(), 0u);
    // Captured sound with nothing queued is an overrun.
    EXPECT_EQ(in->Start(), MmNoError);
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(static_cast<PortAudioWaveIn&>(*in).Overruns(), 0u);
    EXPECT_EQ(in->Reset(), MmNoError);
    for (WaveHeader& h : b.headers) {
        EXPECT_EQ(in->UnprepareHeader(h), MmNoError);
    }
    EXPECT_EQ(in->Close(), MmNoError);
    EXPECT_EQ(in->Start(), MmInvalidHandle);
}

TEST_F(Loopback, OutputPausesKeepingItsQueueAndCountsGapsBetweenBuffers) {
    MessageQueue queue;
    std::unique_ptr<WaveOutDevice> out;
    ASSERT_EQ(devices->OpenOutput(WaveMapper, Format8k, queue, out), MmNoError);
    auto& diagnostics = static_cast<PortAudioWaveOut&>(*out);
    Buffers b(3);
    for (WaveHeader& h : b.headers) {
        ASSERT_EQ(out->PrepareHeader(h), MmNoError);
    }
    ASSERT_EQ(out->Pause(), MmNoError);
    ASSERT_EQ(out->Write(b.headers[0]), MmNoError);
    ASSERT_EQ(out->Write(b.headers[1]), MmNoError);
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(queue.Size(), 0u) << "a paused output played";
    ASSERT_EQ(out->Restart(), MmNoError);
    for (int i = 0; i < 2; ++i) {
        auto m = NextMessage(queue, Patience);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->id, MmWomDone);
        EXPECT_EQ(m->lParam, reinterpret_cast<intptr_t>(&b.headers[i]));
    }
    // Running dry at the end of the queue is no underrun; silence before the next buffer is.
    const uint64_t before = diagnostics.Underruns();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(diagnostics.Underruns(), before);
    b.headers[0].flags &= ~WhdrDone;
    ASSERT_EQ(out->Write(b.headers[0]), MmNoError);
    ASSERT_TRUE(NextMessage(queue, Patience));
    EXPECT_GE(diagnostics.Underruns(), before + 1);

    // Reset hands back what is queued at once, and leaves the output running.
    ASSERT_EQ(out->Pause(), MmNoError);
    b.headers[1].flags &= ~WhdrDone;
    ASSERT_EQ(out->Write(b.headers[1]), MmNoError);
    ASSERT_EQ(out->Write(b.headers[2]), MmNoError);
    ASSERT_EQ(out->Reset(), MmNoError);
    ASSERT_EQ(queue.Size(), 2u);
    EXPECT_EQ(queue.Get().lParam, reinterpret_cast<intptr_t>(&b.headers[1]));
    EXPECT_EQ(queue.Get().lParam, reinterpret_cast<intptr_t>(&b.headers[2]));
    b.headers[2].flags &= ~WhdrDone;
    ASSERT_EQ(out->Write(b.headers[2]), MmNoError);
    ASSERT_TRUE(NextMessage(queue, Patience)) << "a reset output did not run again";
    EXPECT_EQ(out->Close(), MmNoError);
}

}  // namespace
}  // namespace kora486
