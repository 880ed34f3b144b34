#include "platform/VirtualDevices.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "VirtualTestSupport.h"
#include "platform/SoundDevices.h"

namespace kora486 {
namespace {

using namespace std::chrono_literals;
using test::NextMessage;
using test::Pcm;

// 8000 Hz 8-bit mono: 80 bytes are 10 ms, short enough for real-time tests.
const WaveFormatEx Format8k = Pcm(8000, 1, 8);
constexpr uint32_t TenMs = 80;
constexpr auto Patience = 5s;  // only reached when something is broken

enum class Dir { Input, Output };

// One open device of either direction behind the same verbs, so each behaviour is tested once.
struct Device {
    std::unique_ptr<WaveInDevice> in;
    std::unique_ptr<WaveOutDevice> out;

    MmResult Prepare(WaveHeader& h) { return in ? in->PrepareHeader(h) : out->PrepareHeader(h); }
    MmResult Unprepare(WaveHeader& h) {
        return in ? in->UnprepareHeader(h) : out->UnprepareHeader(h);
    }
    MmResult Queue(WaveHeader& h) { return in ? in->AddBuffer(h) : out->Write(h); }
    // Start for an input, Restart for an output.
    MmResult Run() { return in ? in->Start() : out->Restart(); }
    MmResult Reset() { return in ? in->Reset() : out->Reset(); }
    MmResult Close() { return in ? in->Close() : out->Close(); }
    uintptr_t Id() const {
        return in ? reinterpret_cast<uintptr_t>(in.get()) : reinterpret_cast<uintptr_t>(out.get());
    }
    uint32_t DoneMessage() const { return in ? MmWimData : MmWomDone; }
    void Destroy() {
        in.reset();
        out.reset();
    }
};

Device OpenDevice(VirtualDevices& devices, Dir dir, MessageQueue& queue,
                  const WaveFormatEx& format = Format8k) {
    Device d;
    const MmResult r = dir == Dir::Input ? devices.OpenInput(0, format, queue, d.in)
                                         : devices.OpenOutput(0, format, queue, d.out);
    EXPECT_EQ(r, MmNoError);
    return d;
}

size_t Complete(VirtualDevices& devices, Dir dir, size_t n) {
    return dir == Dir::Input ? devices.CompleteInputBuffers(n) : devices.CompleteOutputBuffers(n);
}

// Buffers whose bytes are i + 1, so an output's recording shows which buffer played where.
struct Buffers {
    Buffers(size_t count, uint32_t bytes) : data(count), headers(count) {
        for (size_t i = 0; i < count; ++i) {
            data[i].assign(bytes, static_cast<uint8_t>(i + 1));
            headers[i].data = data[i].data();
            headers[i].bufferLength = bytes;
        }
    }
    std::vector<std::vector<uint8_t>> data;
    std::vector<WaveHeader> headers;
};

VirtualDeviceConfig ConfigFor(VirtualClock clock, std::shared_ptr<MemoryRecording> recording) {
    VirtualDeviceConfig config;
    config.clock = clock;
    if (recording) {
        config.makeSink = [recording] { return MakeMemorySink(recording); };
    }
    return config;
}

// Takes `count` buffer-done messages and checks they return these headers in this order.
void ExpectReturned(MessageQueue& queue, const Device& device, std::vector<WaveHeader*> expected) {
    for (WaveHeader* h : expected) {
        const auto message = NextMessage(queue, Patience);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->id, device.DoneMessage());
        EXPECT_EQ(message->wParam, device.Id());
        EXPECT_EQ(message->lParam, reinterpret_cast<intptr_t>(h));
        EXPECT_EQ(h->flags & (WhdrDone | WhdrInQueue | WhdrPrepared), WhdrDone | WhdrPrepared);
    }
}

const char* ClockName(VirtualClock clock) {
    switch (clock) {
        case VirtualClock::RealTime:
            return "RealTime";
        case VirtualClock::Fast:
            return "Fast";
        case VirtualClock::Manual:
            return "Manual";
    }
    return "?";
}

class EveryClock : public testing::TestWithParam<VirtualClock> {};
INSTANTIATE_TEST_SUITE_P(Clocks, EveryClock,
                         testing::Values(VirtualClock::RealTime, VirtualClock::Fast,
                                         VirtualClock::Manual),
                         [](const auto& info) { return ClockName(info.param); });

class EveryClockAndDirection : public testing::TestWithParam<std::tuple<VirtualClock, Dir>> {};
INSTANTIATE_TEST_SUITE_P(Clocks, EveryClockAndDirection,
                         testing::Combine(testing::Values(VirtualClock::RealTime,
                                                          VirtualClock::Fast, VirtualClock::Manual),
                                          testing::Values(Dir::Input, Dir::Output)),
                         [](const auto& info) {
                             return std::string(ClockName(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == Dir::Input ? "Input" : "Output");
                         });

TEST_P(EveryClockAndDirection, EveryBufferComesBackOnceInQueueOrder) {
    const auto [clock, dir] = GetParam();
    auto recording = std::make_shared<MemoryRecording>();
    VirtualDevices devices(ConfigFor(clock, recording));
    MessageQueue queue;
    Device device = OpenDevice(devices, dir, queue);
    Buffers buffers(4, TenMs);
    std::vector<WaveHeader*> order;
    for (WaveHeader& h : buffers.headers) {
        ASSERT_EQ(device.Prepare(h), MmNoError);
        order.push_back(&h);
    }

    // Two rounds: the second queues the returned headers again, as an engine does.
    for (int round = 0; round < 2; ++round) {
        for (WaveHeader& h : buffers.headers) {
            h.flags &= ~WhdrDone;
            ASSERT_EQ(device.Queue(h), MmNoError);
        }
        ASSERT_EQ(device.Run(), MmNoError);
        if (clock == VirtualClock::Manual) {
            EXPECT_EQ(Complete(devices, dir, 3), 3u);
            EXPECT_EQ(Complete(devices, dir, 5), 1u);
        }
        ExpectReturned(queue, device, order);
        for (const WaveHeader& h : buffers.headers) {
            if (dir == Dir::Input) {
                EXPECT_EQ(h.bytesRecorded, TenMs);
                // The default 1000 Hz sine at -12 dBFS: 8-bit samples swing about 32 around 128.
                const auto [low, high] = std::minmax_element(h.data, h.data + TenMs);
                EXPECT_LT(*low, 100);
                EXPECT_GT(*high, 156);
            }
        }
    }
    EXPECT_FALSE(NextMessage(queue, 30ms));

    if (dir == Dir::Output) {
        std::vector<uint8_t> played;
        for (int round = 0; round < 2; ++round) {
            for (const auto& block : buffers.data) {
                played.insert(played.end(), block.begin(), block.end());
            }
        }
        EXPECT_EQ(recording->Bytes(), played);
        EXPECT_EQ(recording->Format(), Format8k);
    }
    for (WaveHeader& h : buffers.headers) {
        EXPECT_EQ(device.Unprepare(h), MmNoError);
        EXPECT_EQ(h.flags & WhdrPrepared, 0u);
    }
    EXPECT_EQ(device.Close(), MmNoError);
    EXPECT_FALSE(recording->IsOpen());
}

TEST(VirtualInput, RealTimeResetReturnsWhatWasCapturedInWholeFramesAndStops) {
    VirtualDevices devices;
    MessageQueue queue;
    const WaveFormatEx stereo16 = Pcm(8000, 2, 16);
    Device device = OpenDevice(devices, Dir::Input, queue, stereo16);
    // Two seconds each: the reset comes long before the first one is full.
    Buffers buffers(3, 2 * stereo16.avgBytesPerSec);
    for (WaveHeader& h : buffers.headers) {
        ASSERT_EQ(device.Prepare(h), MmNoError);
        ASSERT_EQ(device.Queue(h), MmNoError);
    }
    ASSERT_EQ(device.Run(), MmNoError);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(device.Reset(), MmNoError);

    ExpectReturned(queue, device, {&buffers.headers[0], &buffers.headers[1], &buffers.headers[2]});
    const uint32_t captured = buffers.headers[0].bytesRecorded;
    EXPECT_GT(captured, 0u);
    EXPECT_LT(captured, buffers.headers[0].bufferLength);
    EXPECT_EQ(captured % stereo16.blockAlign, 0u);
    EXPECT_EQ(buffers.headers[1].bytesRecorded, 0u);
    EXPECT_EQ(buffers.headers[2].bytesRecorded, 0u);

    // Stopped: a buffer of 10 ms stays queued until the next Start.
    WaveHeader& again = buffers.headers[1];
    again.bufferLength = 80;
    again.flags &= ~WhdrDone;
    ASSERT_EQ(device.Queue(again), MmNoError);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(devices.QueuedInputBuffers(), 1u);
    ASSERT_EQ(device.Run(), MmNoError);
    ExpectReturned(queue, device, {&again});
    EXPECT_EQ(again.bytesRecorded, 80u);
    EXPECT_EQ(device.Close(), MmNoError);
}

TEST_P(EveryClock, InputResetReturnsEveryBufferAndTheDeviceMustBeStartedAgain) {
    const VirtualClock clock = GetParam();
    VirtualDevices devices(ConfigFor(clock, nullptr));
    MessageQueue queue;
    Device device = OpenDevice(devices, Dir::Input, queue);
    // Long buffers, so that under the real-time clock none is full when the reset comes.
    Buffers buffers(3, 8000);
    for (WaveHeader& h : buffers.headers) {
        ASSERT_EQ(device.Prepare(h), MmNoError);
        ASSERT_EQ(device.Queue(h), MmNoError);
    }
    // The fast clock would complete every buffer at Start; it is reset before it starts.
    if (clock != VirtualClock::Fast) {
        ASSERT_EQ(device.Run(), MmNoError);
    }
    ASSERT_EQ(device.Reset(), MmNoError);
    ExpectReturned(queue, device, {&buffers.headers[0], &buffers.headers[1], &buffers.headers[2]});
    EXPECT_EQ(devices.QueuedInputBuffers(), 0u);
    if (clock != VirtualClock::RealTime) {
        EXPECT_EQ(buffers.headers[0].bytesRecorded, 0u);
    }

    WaveHeader& again = buffers.headers[0];
    again.bufferLength = TenMs;
    again.flags &= ~WhdrDone;
    ASSERT_EQ(device.Queue(again), MmNoError);
    EXPECT_EQ(devices.CompleteInputBuffers(1), 0u);
    EXPECT_EQ(devices.QueuedInputBuffers(), 1u);
    ASSERT_EQ(device.Run(), MmNoError);
    if (clock == VirtualClock::Manual) {
        EXPECT_EQ(devices.CompleteInputBuffers(1), 1u);
    }
    ExpectReturned(queue, device, {&again});
    EXPECT_EQ(again.bytesRecorded, TenMs);
}

TEST_P(EveryClock, OutputResetReturnsEveryBufferUnplayedAndLeavesTheDeviceRunning) {
    const VirtualClock clock = GetParam();
    auto recording = std::make_shared<MemoryRecording>();
    VirtualDevices devices(ConfigFor(clock, recording));
    MessageQueue queue;
    Device device = OpenDevice(devices, Dir::Output, queue);
    Buffers buffers(3, TenMs);
    ASSERT_EQ(device.out->Pause(), MmNoError);
    for (WaveHeader& h : buffers.headers) {
        ASSERT_EQ(device.Prepare(h), MmNoError);
        ASSERT_EQ(device.Queue(h), MmNoError);
    }
    ASSERT_EQ(device.Reset(), MmNoError);
    ExpectReturned(queue, device, {&buffers.headers[0], &buffers.headers[1], &buffers.headers[2]});
    EXPECT_EQ(recording->Size(), 0u);

    // No Restart: the reset left it running.
    WaveHeader& again = buffers.headers[2];
    again.flags &= ~WhdrDone;
    ASSERT_EQ(device.Queue(again), MmNoError);
    if (clock == VirtualClock::Manual) {
        EXPECT_EQ(devices.CompleteOutputBuffers(1), 1u);
    }
    ExpectReturned(queue, device, {&again});
    EXPECT_EQ(recording->Bytes(), buffers.data[2]);
}

TEST_P(EveryClock, PausedOutputKeepsItsQueueUntilRestart) {
    const VirtualClock clock = GetParam();
    auto recording = std::make_shared<MemoryRecording>();
    VirtualDevices devices(ConfigFor(clock, recording));
    MessageQueue queue;
    Device device = OpenDevice(devices, Dir::Output, queue);
    Buffers buffers(2, TenMs);
    ASSERT_EQ(device.out->Pause(), MmNoError);
    for (WaveHeader& h : buffers.headers) {
        ASSERT_EQ(device.Prepare(h), MmNoError);
        ASSERT_EQ(device.Queue(h), MmNoError);
    }
    EXPECT_EQ(devices.CompleteOutputBuffers(2), 0u);
    EXPECT_FALSE(NextMessage(queue, 50ms));
    EXPECT_EQ(devices.QueuedOutputBuffers(), 2u);

    ASSERT_EQ(device.out->Restart(), MmNoError);
    if (clock == VirtualClock::Fast) {
        // Completed inside Restart.
        EXPECT_EQ(queue.Size(), 2u);
    }
    if (clock == VirtualClock::Manual) {
        EXPECT_EQ(devices.CompleteOutputBuffers(2), 2u);
    }
    ExpectReturned(queue, device, {&buffers.headers[0], &buffers.headers[1]});
    std::vector<uint8_t> played = buffers.data[0];
    played.insert(played.end(), buffers.data[1].begin(), buffers.data[1].end());
    EXPECT_EQ(recording->Bytes(), played);
}

TEST(VirtualOutput, RealTimePauseHoldsTheHeadBufferPartWayThrough) {
    VirtualDevices devices;
    MessageQueue queue;
    Device device = OpenDevice(devices, Dir::Output, queue);
    // 150 ms, paused after about 50 ms, then held 150 ms: it must still be queued.
    Buffers buffers(1, 1200);
    WaveHeader& h = buffers.headers[0];
    ASSERT_EQ(device.Prepare(h), MmNoError);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(device.Queue(h), MmNoError);
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(device.out->Pause(), MmNoError);
    const bool finishedBeforePause = queue.Size() > 0;
    std::this_thread::sleep_for(150ms);
    if (!finishedBeforePause) {
        EXPECT_EQ(queue.Size(), 0u);
        EXPECT_EQ(devices.QueuedOutputBuffers(), 1u);
    }
    ASSERT_EQ(device.out->Restart(), MmNoError);
    ExpectReturned(queue, device, {&h});
    if (!finishedBeforePause) {
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    }
}

struct FormatCase {
    const char* what;
    WaveFormatEx format;
};

TEST(VirtualDevices, RefusesFormatsOutsideTheDefaultRule) {
    auto with = [](auto change) {
        WaveFormatEx f = Pcm(44100, 2, 16);
        change(f);
        return f;
    };
    const FormatCase refused[] = {
        {"A-law tag", with([](WaveFormatEx& f) { f.formatTag = WaveFormatALaw; })},
        {"3 channels", Pcm(44100, 3, 16)},
        {"no channels", with([](WaveFormatEx& f) { f.channels = 0; })},
        {"24 bits", Pcm(44100, 2, 24)},
        {"block align", with([](WaveFormatEx& f) { f.blockAlign = 2; })},
        {"average bytes", with([](WaveFormatEx& f) { f.avgBytesPerSec += 1; })},
        {"rate 999", Pcm(999, 1, 8)},
        {"rate 384001", Pcm(384001, 1, 8)},
    };
    VirtualDevices devices;
    MessageQueue queue;
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<WaveInDevice> in;
        std::unique_ptr<WaveOutDevice> out;
        EXPECT_EQ(devices.QueryInputFormat(0, c.format), WaveBadFormat);
        EXPECT_EQ(devices.QueryOutputFormat(WaveMapper, c.format), WaveBadFormat);
        EXPECT_EQ(devices.OpenInput(0, c.format, queue, in), WaveBadFormat);
        EXPECT_EQ(devices.OpenOutput(0, c.format, queue, out), WaveBadFormat);
        EXPECT_FALSE(in);
        EXPECT_FALSE(out);
    }
    for (const auto& f : {Pcm(1000, 1, 8), Pcm(384000, 2, 16), Pcm(44100, 2, 8)}) {
        EXPECT_EQ(devices.QueryInputFormat(WaveMapper, f), MmNoError);
        EXPECT_EQ(devices.QueryOutputFormat(0, f), MmNoError);
    }
}

TEST(VirtualDevices, AnswersBadDeviceIdForNumbersItDoesNotHave) {
    VirtualDeviceConfig config;
    config.inputs = {{"A", {}}, {"B", {}}};
    config.outputs = {};
    VirtualDevices devices(config);
    EXPECT_EQ(devices.InputDeviceCount(), 2u);
    EXPECT_EQ(devices.OutputDeviceCount(), 0u);
    MessageQueue queue;
    std::string name;
    for (int bad : {-2, 2, 1000}) {
        SCOPED_TRACE(bad);
        std::unique_ptr<WaveInDevice> in;
        EXPECT_EQ(devices.InputDeviceName(bad, name), MmBadDeviceId);
        EXPECT_EQ(devices.QueryInputFormat(bad, Format8k), MmBadDeviceId);
        EXPECT_EQ(devices.OpenInput(bad, Format8k, queue, in), MmBadDeviceId);
    }
    // No outputs at all: even the default device is missing.
    std::unique_ptr<WaveOutDevice> out;
    EXPECT_EQ(devices.OutputDeviceName(WaveMapper, name), MmBadDeviceId);
    EXPECT_EQ(devices.OpenOutput(WaveMapper, Format8k, queue, out), MmBadDeviceId);
    ASSERT_EQ(devices.InputDeviceName(1, name), MmNoError);
    EXPECT_EQ(name, "B");
}

TEST(VirtualDevices, OpensEachDeviceOnceAndTheMapperIsDeviceZero) {
    VirtualDeviceConfig config;
    config.inputs = {{"A", {}}, {"B", {}}};
    // Device B only takes 8-bit mono.
    config.inputs[1].accepts = [](const WaveFormatEx& f) { return f == Format8k; };
    VirtualDevices devices(config);
    MessageQueue queue;
    std::unique_ptr<WaveInDevice> first, second, third;
    ASSERT_EQ(devices.OpenInput(WaveMapper, Format8k, queue, first), MmNoError);
    EXPECT_EQ(devices.OpenInput(0, Format8k, queue, second), MmAllocated);
    EXPECT_EQ(devices.QueryInputFormat(1, Pcm(8000, 2, 8)), WaveBadFormat);
    EXPECT_EQ(devices.QueryInputFormat(1, Format8k), MmNoError);
    ASSERT_EQ(devices.OpenInput(1, Format8k, queue, second), MmNoError);
    ASSERT_EQ(first->Close(), MmNoError);
    EXPECT_EQ(first->Close(), MmInvalidHandle);
    EXPECT_EQ(devices.OpenInput(0, Format8k, queue, third), MmNoError);
}

TEST(VirtualDevices, RefusesHeadersThatBreakTheRules) {
    VirtualDeviceConfig config;
    config.clock = VirtualClock::Manual;
    VirtualDevices devices(config);
    MessageQueue queue;
    Device device = OpenDevice(devices, Dir::Input, queue);
    Buffers buffers(1, TenMs);
    WaveHeader& h = buffers.headers[0];

    WaveHeader noData{nullptr, 80, 0, 0};
    WaveHeader noLength{h.data, 0, 0, 0};
    EXPECT_EQ(device.Prepare(noData), MmInvalidParameter);
    EXPECT_EQ(device.Prepare(noLength), MmInvalidParameter);
    EXPECT_EQ(device.Queue(h), WaveUnprepared);
    ASSERT_EQ(device.Prepare(h), MmNoError);
    EXPECT_EQ(h.flags, WhdrPrepared);
    ASSERT_EQ(device.Queue(h), MmNoError);
    EXPECT_EQ(h.flags, WhdrPrepared | WhdrInQueue);
    EXPECT_EQ(device.Queue(h), WaveStillPlaying);
    EXPECT_EQ(device.Unprepare(h), WaveStillPlaying);
    EXPECT_EQ(device.Close(), WaveStillPlaying);
    EXPECT_EQ(devices.QueuedInputBuffers(), 1u);

    ASSERT_EQ(device.Reset(), MmNoError);
    ExpectReturned(queue, device, {&h});
    EXPECT_EQ(device.Unprepare(h), MmNoError);
    ASSERT_EQ(device.Close(), MmNoError);
    for (MmResult r : {device.Prepare(h), device.Queue(h), device.Run(), device.Reset()}) {
        EXPECT_EQ(r, MmInvalidHandle);
    }
    EXPECT_EQ(devices.QueuedInputBuffers(), 0u);
    EXPECT_EQ(devices.CompleteInputBuffers(1), 0u);
}

TEST(VirtualDevices, CutsNamesTo31BytesBetweenCharacters) {
    const std::string thirtyOne(31, 'n');
    const struct {
        std::string name;
        std::string handedOut;
    } cases[] = {
        {"Virtual Input", "Virtual Input"},
        {thirtyOne, thirtyOne},
        {thirtyOne + "xyz", thirtyOne},
        // "é" is two bytes; starting at byte 30 it would straddle the cut, so it goes whole.
        {std::string(30, 'n') + "\xC3\xA9" + "z", std::string(30, 'n')},
    };
    for (const auto& c : cases) {
        VirtualDeviceConfig config;
        config.inputs = {{c.name, {}}};
        config.outputs = {{c.name, {}}};
        VirtualDevices devices(config);
        std::string in, out;
        ASSERT_EQ(devices.InputDeviceName(WaveMapper, in), MmNoError);
        ASSERT_EQ(devices.OutputDeviceName(0, out), MmNoError);
        EXPECT_EQ(in, c.handedOut);
        EXPECT_EQ(out, c.handedOut);
    }
}

TEST_P(EveryClockAndDirection, DestroyingAnOpenDeviceReturnsItsBuffersOnce) {
    const auto [clock, dir] = GetParam();
    auto recording = std::make_shared<MemoryRecording>();
    MessageQueue queue;
    Buffers buffers(2, 8000);
    Device device;
    uintptr_t id = 0;
    {
        VirtualDevices devices(ConfigFor(clock, recording));
        device = OpenDevice(devices, dir, queue);
        id = device.Id();
        if (dir == Dir::Output) {
            // Paused, so that the fast clock keeps them queued too.
            ASSERT_EQ(device.out->Pause(), MmNoError);
        }
        for (WaveHeader& h : buffers.headers) {
            ASSERT_EQ(device.Prepare(h), MmNoError);
            ASSERT_EQ(device.Queue(h), MmNoError);
        }
        // The service goes first; the device must not depend on it.
    }
    device.Destroy();
    EXPECT_FALSE(recording->IsOpen());
    for (WaveHeader& h : buffers.headers) {
        const auto message = queue.Peek();
        ASSERT_TRUE(message);
        EXPECT_EQ(message->wParam, id);
        EXPECT_EQ(message->lParam, reinterpret_cast<intptr_t>(&h));
    }
    EXPECT_EQ(queue.Size(), 0u);
}

// The manual clock driven from the test's thread while an engine thread requeues every buffer.
TEST(VirtualInput, ManualClockAgainstAnEngineThread) {
    VirtualDeviceConfig config;
    config.clock = VirtualClock::Manual;
    config.makeSource = [] { return MakeLevelsSource({-6.0f, -20.0f}); };
    VirtualDevices devices(config);
    constexpr int Rounds = 30;

    std::thread engine([&] {
        MessageQueue queue;
        Device device = OpenDevice(devices, Dir::Input, queue);
        Buffers buffers(3, TenMs);
        // Started first, so that every buffer the test sees queued can complete.
        ASSERT_EQ(device.Run(), MmNoError);
        for (WaveHeader& h : buffers.headers) {
            ASSERT_EQ(device.Prepare(h), MmNoError);
            ASSERT_EQ(device.Queue(h), MmNoError);
        }
        for (int i = 0; i < Rounds; ++i) {
            const Message m = queue.Get();
            auto* h = reinterpret_cast<WaveHeader*>(m.lParam);
            ASSERT_EQ(h, &buffers.headers[i % 3]);
            ASSERT_EQ(h->bytesRecorded, TenMs);
            // -6 dB and -20 dB in turn: 8-bit peaks of 64 and 13 around 128.
            EXPECT_EQ(*std::max_element(h->data, h->data + TenMs), i % 2 == 0 ? 192 : 141);
            h->flags &= ~WhdrDone;
            ASSERT_EQ(device.Queue(*h), MmNoError);
        }
        ASSERT_EQ(device.Reset(), MmNoError);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(queue.Get().id, MmWimData);
        }
        EXPECT_EQ(device.Close(), MmNoError);
    });
    for (int i = 0; i < Rounds; ++i) {
        ASSERT_TRUE(devices.WaitForQueuedInputBuffers(1, Patience));
        ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);
    }
    engine.join();
    EXPECT_FALSE(devices.WaitForQueuedInputBuffers(1, 10ms));
}

// What the choice takes for PortAudio: virtual devices under another name, with or without any
// device, so the choice is tested without a sound server.
std::unique_ptr<SoundDeviceService> StandInPortAudio(bool hasDevices) {
    VirtualDeviceConfig config;
    config.inputs = {{"Stand-in PortAudio", {}}};
    config.outputs.clear();
    if (!hasDevices) {
        config.inputs.clear();
    }
    return std::make_unique<VirtualDevices>(std::move(config));
}

TEST(SystemSoundDevices, ChoosesTheBackendOrRefusesWithTheReason) {
    enum Expect { Virtual, PortAudio, Refusing };
    const struct {
        const char* audio;
        const char* input;
        const char* clock;
        bool portAudioHasDevices;
        Expect expect;
        const char* errorHas;  // for Refusing
    } cases[] = {
        {nullptr, nullptr, nullptr, true, PortAudio, nullptr},
        {nullptr, nullptr, nullptr, false, Virtual, nullptr},
        {"", nullptr, nullptr, true, PortAudio, nullptr},
        {"", nullptr, nullptr, false, Virtual, nullptr},
        {"virtual", "silence", "fast", true, Virtual, nullptr},
        // Asked for by name, PortAudio is used even with nothing to open.
        {"portaudio", nullptr, nullptr, true, PortAudio, nullptr},
        {"portaudio", nullptr, nullptr, false, PortAudio, nullptr},
        {"alsa", nullptr, nullptr, true, Refusing, "KORA486_AUDIO=\"alsa\""},
        {"virtual", "noise", nullptr, true, Refusing, "KORA486_VIRTUAL_INPUT=\"noise\""},
        {"virtual", nullptr, "slow", true, Refusing, "KORA486_VIRTUAL_CLOCK=\"slow\""},
        {"portaudio", "noise", nullptr, true, Refusing, "KORA486_VIRTUAL_INPUT=\"noise\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.audio ? c.audio : "(unset)") +
                     (c.portAudioHasDevices ? ", PortAudio has devices" : ", no PortAudio device"));
        std::optional<std::string> error;
        auto service = ChooseSoundDevices(
            c.audio, c.input, nullptr, c.clock,
            [&] { return StandInPortAudio(c.portAudioHasDevices); }, &error);
        ASSERT_TRUE(service);
        MessageQueue queue;
        std::unique_ptr<WaveInDevice> in;
        std::unique_ptr<WaveOutDevice> out;
        std::string name;
        switch (c.expect) {
            case Virtual:
                EXPECT_FALSE(error);
                ASSERT_EQ(service->InputDeviceName(0, name), MmNoError);
                EXPECT_EQ(name, "Virtual Input");
                EXPECT_EQ(service->OpenInput(WaveMapper, Format8k, queue, in), MmNoError);
                break;
            case PortAudio:
                EXPECT_FALSE(error);
                EXPECT_EQ(service->InputDeviceCount(), c.portAudioHasDevices ? 1u : 0u);
                if (c.portAudioHasDevices) {
                    ASSERT_EQ(service->InputDeviceName(0, name), MmNoError);
                    EXPECT_EQ(name, "Stand-in PortAudio");
                }
                break;
            case Refusing:
                ASSERT_TRUE(error);
                EXPECT_NE(error->find(c.errorHas), std::string::npos) << *error;
                EXPECT_EQ(service->QueryInputFormat(WaveMapper, Format8k), MmInvalidParameter);
                EXPECT_EQ(service->QueryOutputFormat(0, Format8k), MmInvalidParameter);
                EXPECT_EQ(service->OpenInput(WaveMapper, Format8k, queue, in), MmInvalidParameter);
                EXPECT_EQ(service->OpenOutput(0, Format8k, queue, out), MmInvalidParameter);
                break;
        }
    }
}

}  // namespace
}  // namespace kora486
