#include "engine/Engine.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "engine/SampleFormat.h"
#include "files/MemoryMmioFile.h"
#include "platform/VirtualDevices.h"
#include "support/CountingSource.h"

namespace kora486 {
namespace {

using namespace std::chrono_literals;
using testing::CountingSource;

// 16-bit stereo at 8000 Hz: 3200-byte buffers of 800 frames, a ring of one second.
constexpr uint32_t Rate = 8000;
constexpr int32_t FramesPerBuffer = 800;
constexpr uint32_t DataOffset = 44;

// Fails every write that would end past a chosen number of bytes.
class FailingFile final : public MmioFile {
public:
    explicit FailingFile(int64_t writableBytes) : writable_(writableBytes) {}
    int64_t Seek(int64_t offset, SeekOrigin origin) override { return inner.Seek(offset, origin); }
    int32_t Read(void* data, int32_t count) override { return inner.Read(data, count); }
    int32_t Write(const void* data, int32_t count) override {
        if (inner.Position() + count > writable_) {
            return -1;
        }
        return inner.Write(data, count);
    }
    MemoryMmioFile inner;

private:
    int64_t writable_;
};

std::vector<uint8_t> CountingPcm(int32_t frames) {
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * 4);
    for (size_t i = 0; i < bytes.size() / 2; ++i) {
        const auto value = static_cast<int16_t>(i);
        std::memcpy(bytes.data() + 2 * i, &value, 2);
    }
    return bytes;
}

int ThreadsOfThisProcess() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            count += entry->d_name[0] != '.';
        }
        closedir(tasks);
    }
    return count;
}

// An engine over an open 16-bit stereo file in memory, with devices the test clocks by hand.
class EngineTest : public ::testing::Test {
protected:
    explicit EngineTest(VirtualClock clock = VirtualClock::Manual) : devices(Config(clock)) {}
    explicit EngineTest(VirtualDeviceConfig config) : devices(std::move(config)) {}

    // Counting input; output kept in 'played', which the sink reaches only once devices open.
    VirtualDeviceConfig Config(VirtualClock clock) {
        VirtualDeviceConfig config;
        config.clock = clock;
        config.makeSource = [] { return std::make_unique<CountingSource>(); };
        config.makeSink = [this] { return MakeMemorySink(played); };
        return config;
    }

    void SetUp() override {
        state.WaveFormat = BuildWaveFormat(FormatPcm16, 2, Rate);
        UseFile(file, 0);
        ASSERT_TRUE(engine.Start());
    }

    // Opens a file whose data chunk starts at DataOffset and holds the given frames.
    void UseFile(MmioFile& handle, int32_t frames) {
        state.FileHandle = &handle;
        state.DataChunk.dataOffset = DataOffset;
        state.DataChunk.size = static_cast<uint32_t>(frames) * state.WaveFormat.blockAlign;
        state.NumSamples = frames;
        Publish(state.Status, static_cast<int16_t>(StatusFileOpen));
    }

    void FillFile(int32_t frames) {
        std::vector<uint8_t> bytes(DataOffset, 0);
        const auto pcm = CountingPcm(frames);
        bytes.insert(bytes.end(), pcm.begin(), pcm.end());
        file = MemoryMmioFile(bytes);
        UseFile(file, frames);
    }

    std::vector<uint8_t> FileData() const {
        const auto& bytes = file.Bytes();
        return {bytes.begin() + std::min<size_t>(DataOffset, bytes.size()), bytes.end()};
    }

    // Completes input buffers one at a time, each after the engine has given the last one back.
    void RecordBuffers(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(devices.WaitForQueuedInputBuffers(RingBufferCount, 5s));
            ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);
        }
        ASSERT_TRUE(devices.WaitForQueuedInputBuffers(RingBufferCount, 5s));
    }

    void PlayBuffers(int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(devices.CompleteOutputBuffers(1), 1u);
            ASSERT_TRUE(devices.WaitForQueuedOutputBuffers(RingBufferCount, 5s));
        }
    }

    void WaitForStatusFileOpen() { WaitUntil(state.Status, static_cast<int16_t>(StatusFileOpen)); }

    std::vector<uint32_t> Notifications() {
        std::vector<uint32_t> codes;
        while (auto m = window.Peek()) {
            EXPECT_EQ(m->id, EngineNotifyMessage);
            codes.push_back(static_cast<uint32_t>(m->wParam));
        }
        return codes;
    }

    // Every stop ends with the stopped notification, then silent levels.
    void ExpectStopped(EngineNotification stopped) {
        const auto codes = Notifications();
        ASSERT_GE(codes.size(), 2u);
        EXPECT_EQ(codes[codes.size() - 2], static_cast<uint32_t>(stopped));
        EXPECT_EQ(codes.back(), static_cast<uint32_t>(NotifyLevels));
        EXPECT_EQ(std::count(codes.begin(), codes.end(), static_cast<uint32_t>(stopped)), 1);
        EXPECT_EQ(state.LeftLevel.load(), SilenceLevel);
        EXPECT_EQ(state.RightLevel.load(), SilenceLevel);
        EXPECT_EQ(state.LeftOverload.load(), 0);
        EXPECT_EQ(state.RightOverload.load(), 0);
        EXPECT_EQ(state.Status.load(), StatusFileOpen);
        EXPECT_EQ(state.EngineState.load(), EngineIdle);
    }

    std::shared_ptr<MemoryRecording> played = std::make_shared<MemoryRecording>();
    RecorderState state;
    VirtualDevices devices;
    MessageQueue window;
    MemoryMmioFile file;
    Engine engine{state, devices, window};
};

TEST_F(EngineTest, StartsOneIdleThreadAndEndsIt) {
    EXPECT_EQ(state.EngineState.load(), EngineIdle);
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_NE(state.WorkerThreadId.load(), static_cast<uint32_t>(gettid()));

    RecorderState otherState;
    MessageQueue otherWindow;
    Engine other(otherState, devices, otherWindow);
    const int before = ThreadsOfThisProcess();
    ASSERT_TRUE(other.Start());
    EXPECT_EQ(ThreadsOfThisProcess(), before + 1);
    EXPECT_NE(otherState.WorkerThreadId.load(), state.WorkerThreadId.load());
    other.End();
    EXPECT_EQ(otherState.EngineState.load(), EngineStopped);
    EXPECT_FALSE(other.IsRunning());
    EXPECT_TRUE(Notifications().empty()) << "starting and ending tells the host nothing";
}

TEST_F(EngineTest, CommandsThatDoNotFitTheIdleStateChangeNothing) {
    struct Case {
        const char* name;
        int32_t command;
        intptr_t argument;
    };
    const Case cases[] = {
        {"stop recording", CmdStopRecording, 0},
        {"stop playback", CmdStopPlayback, 0},
        {"pause playback", CmdPausePlayback, 1},
        {"resume playback", CmdPausePlayback, 0},
        {"code 7", 7, 0},
        {"code 65535", 65535, 0},
        {"negative code", -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(engine.PostCommand(c.command, c.argument));
        // Commands are taken in order: a start after the dropped one finds the engine idle.
        ASSERT_EQ(engine.StartRecording(), ErrNone);
        EXPECT_EQ(state.EngineState.load(), EngineRecording);
        engine.StopRecording();
        ExpectStopped(NotifyRecordingStopped);
    }
}

TEST_F(EngineTest, PlaybackCommandsWhileRecordingAreDropped) {
    ASSERT_EQ(engine.StartRecording(), ErrNone);
    engine.PostCommand(CmdStartPlayback);
    engine.PostCommand(CmdPausePlayback, 1);
    engine.PostCommand(CmdStopPlayback);
    RecordBuffers(2);  // handled after the commands, so the recording still runs
    EXPECT_EQ(state.EngineState.load(), EngineRecording);
    EXPECT_EQ(devices.QueuedOutputBuffers(), 0u);
    engine.StopRecording();
    EXPECT_EQ(state.CurrentSamplePosition.load(), 2 * FramesPerBuffer);
    ExpectStopped(NotifyRecordingStopped);
}

TEST_F(EngineTest, RecordingWritesEveryBufferOnceInOrder) {
    state.CurrentSamplePosition = 0;
    ASSERT_EQ(engine.StartRecording(), ErrNone);
    EXPECT_EQ(state.Status.load(), StatusRecording);
    EXPECT_EQ(state.LeftLevel.load(), -100.0f) << "levels are reset at the start";
    RecordBuffers(3);
    engine.StopRecording();

    EXPECT_EQ(FileData(), CountingPcm(3 * FramesPerBuffer));
    EXPECT_EQ(state.CurrentSamplePosition.load(), 3 * FramesPerBuffer);
    EXPECT_EQ(state.NumSamples.load(), 3 * FramesPerBuffer);
    EXPECT_EQ(state.RecordedSamples.load(), 3 * FramesPerBuffer);
    EXPECT_NE(state.DataChunk.flags & ChunkDirty, 0u);
    EXPECT_NE(state.RiffChunk.flags & ChunkDirty, 0u);
    EXPECT_EQ(devices.QueuedInputBuffers(), 0u);
    const auto codes = Notifications();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), NotifyLevels), 3 + 1)
        << "one per buffer written, one after the stop";
    EXPECT_EQ(codes[codes.size() - 2], static_cast<uint32_t>(NotifyRecordingStopped));
}

TEST_F(EngineTest, PausedRecordingDropsBuffers) {
    ASSERT_EQ(engine.StartRecording(), ErrNone);
    RecordBuffers(1);
    state.Paused = 1;
    RecordBuffers(2);
    state.Paused = 0;
    RecordBuffers(1);
    engine.StopRecording();
    // The second written buffer holds the fourth buffer captured.
    auto expected = CountingPcm(4 * FramesPerBuffer);
    expected.erase(expected.begin() + FramesPerBuffer * 4,
                   expected.begin() + 3 * FramesPerBuffer * 4);
    EXPECT_EQ(FileData(), expected);
    EXPECT_EQ(state.RecordedSamples.load(), 2 * FramesPerBuffer);
}

TEST_F(EngineTest, RecordLimitStopsTheRecordingByItself) {
    state.RecordLimit = 1;
    ASSERT_EQ(engine.StartRecording(), ErrNone);
    RecordBuffers(1);
    ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);  // finds the limit reached
    WaitForStatusFileOpen();

    EXPECT_EQ(state.RecordedSamples.load(), FramesPerBuffer);
    EXPECT_EQ(FileData(), CountingPcm(FramesPerBuffer));
    EXPECT_EQ(state.StopError.load(), ErrRecordLimit);
    EXPECT_EQ(state.LastError.load(), ErrRecordLimit);
    ExpectStopped(NotifyRecordingStopped);
}

TEST_F(EngineTest, FailedWriteStopsWithCodeEightAndKeepsWhatWasWritten) {
    FailingFile failing(DataOffset + 2 * FramesPerBuffer * 4 + 100);
    UseFile(failing, 0);
    ASSERT_EQ(engine.StartRecording(), ErrNone);
    RecordBuffers(2);
    ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);  // the third write does not fit
    WaitForStatusFileOpen();

    EXPECT_EQ(state.StopError.load(), ErrRecordWrite);
    EXPECT_EQ(state.LastError.load(), ErrRecordWrite);
    EXPECT_EQ(state.NumSamples.load(), 2 * FramesPerBuffer);
    const auto& bytes = failing.inner.Bytes();
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + DataOffset, bytes.end()),
              CountingPcm(2 * FramesPerBuffer));
    ExpectStopped(NotifyRecordingStopped);
}

TEST_F(EngineTest, DestroyingARecordingEngineStopsItFirst) {
    auto owned = std::make_unique<Engine>(state, devices, window);
    engine.End();
    ASSERT_TRUE(owned->Start());
    ASSERT_EQ(owned->StartRecording(), ErrNone);
    RecordBuffers(1);
    owned.reset();
    EXPECT_EQ(state.EngineState.load(), EngineStopped);
    EXPECT_EQ(devices.QueuedInputBuffers(), 0u);
    const auto codes = Notifications();
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], static_cast<uint32_t>(NotifyRecordingStopped));
    EXPECT_EQ(FileData(), CountingPcm(FramesPerBuffer));
}

TEST_F(EngineTest, PlaybackToTheEndPlaysEveryByteOnce) {
    FillFile(Rate + Rate / 2);  // 1.5 s: the ring, then five more buffers
    ASSERT_EQ(engine.StartPlayback(), ErrNone);
    EXPECT_EQ(state.Status.load(), StatusPlaying);
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(devices.CompleteOutputBuffers(1), 1u) << i;
        if (i < 14) {
            ASSERT_TRUE(devices.WaitForQueuedOutputBuffers(std::min(RingBufferCount, 14 - i), 5s));
        }
    }
    WaitForStatusFileOpen();
    EXPECT_EQ(played->Bytes(), CountingPcm(Rate + Rate / 2));
    EXPECT_EQ(state.CurrentSamplePosition.load(), static_cast<int32_t>(Rate + Rate / 2));
    EXPECT_EQ(state.StopError.load(), ErrNone);
    ExpectStopped(NotifyPlaybackStopped);
}

TEST_F(EngineTest, StopDuringPlaybackCountsOnlyTheSoundingBuffer) {
    FillFile(3 * Rate);
    ASSERT_EQ(engine.StartPlayback(), ErrNone);
    PlayBuffers(3);
    EXPECT_EQ(state.CurrentSamplePosition.load(), 3 * FramesPerBuffer);
    engine.StopPlayback();
    EXPECT_EQ(state.CurrentSamplePosition.load(), 4 * FramesPerBuffer);
    EXPECT_EQ(devices.QueuedOutputBuffers(), 0u);
    ExpectStopped(NotifyPlaybackStopped);
}

TEST_F(EngineTest, PausedStartQueuesTheRingAndResumeCountsItAsPlayed) {
    FillFile(3 * Rate);
    state.Paused = 1;
    ASSERT_EQ(engine.StartPlayback(), ErrNone);
    EXPECT_EQ(devices.QueuedOutputBuffers(), static_cast<size_t>(RingBufferCount));
    EXPECT_EQ(devices.CompleteOutputBuffers(1), 0u) << "nothing sounds while paused";
    EXPECT_EQ(state.ReadPosition.load(), static_cast<double>(Rate));

    state.Paused = 0;
    engine.PausePlayback(0);
    // The whole ring came back at once, counted as played and filled again one second on.
    while (state.ReadPosition.load() < 2.0 * Rate) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(devices.WaitForQueuedOutputBuffers(RingBufferCount, 5s));
    EXPECT_EQ(state.CurrentSamplePosition.load(), static_cast<int32_t>(Rate));
    PlayBuffers(1);
    EXPECT_EQ(state.CurrentSamplePosition.load(), static_cast<int32_t>(Rate) + FramesPerBuffer);
    auto expected = CountingPcm(static_cast<int32_t>(Rate) + FramesPerBuffer);
    expected.erase(expected.begin(), expected.begin() + Rate * 4);
    EXPECT_EQ(played->Bytes(), expected) << "the first second was handed back, not played";
    engine.StopPlayback();
    ExpectStopped(NotifyPlaybackStopped);
}

TEST_F(EngineTest, PlaybackFromTheEndFailsToStart) {
    FillFile(Rate);
    state.CurrentSamplePosition = static_cast<int32_t>(Rate);
    EXPECT_EQ(engine.StartPlayback(), ErrPlayStart);
    EXPECT_EQ(state.EngineState.load(), EngineIdle);
    EXPECT_EQ(state.Status.load(), StatusFileOpen);
    EXPECT_EQ(devices.QueuedOutputBuffers(), 0u);
    EXPECT_TRUE(Notifications().empty());
}

// Devices that accept nothing: every start fails and leaves the engine idle.
class RefusingDevicesTest : public EngineTest {
protected:
    static VirtualDeviceConfig Refusing() {
        VirtualDeviceConfig config;
        config.clock = VirtualClock::Manual;
        config.inputs = {{"Refusing Input", [](const WaveFormatEx&) { return false; }}};
        config.outputs = {{"Refusing Output", [](const WaveFormatEx&) { return false; }}};
        return config;
    }
    RefusingDevicesTest() : EngineTest(Refusing()) {}
};

TEST_F(RefusingDevicesTest, StartsFailWithTheirCodes) {
    FillFile(Rate);
    EXPECT_EQ(engine.StartRecording(), ErrRecordStart);
    EXPECT_EQ(state.EngineState.load(), EngineIdle);
    EXPECT_EQ(engine.StartPlayback(), ErrPlayStart);
    EXPECT_EQ(state.EngineState.load(), EngineIdle);
    EXPECT_EQ(state.Status.load(), StatusFileOpen);
    EXPECT_TRUE(Notifications().empty());
}

// The same protocol against devices that keep real time: a short recording and playback.
class RealTimeEngineTest : public EngineTest {
protected:
    RealTimeEngineTest() : EngineTest(VirtualClock::RealTime) {}
};

TEST_F(RealTimeEngineTest, RecordsAndPlaysBackWithoutGapsOrRepeats) {
    ASSERT_EQ(engine.StartRecording(), ErrNone);
    std::this_thread::sleep_for(350ms);
    engine.StopRecording();
    const int32_t recorded = state.NumSamples.load();
    EXPECT_GE(recorded, 2 * FramesPerBuffer);
    // A reset hands back the buffer being captured with what it holds so far.
    EXPECT_EQ(FileData(), CountingPcm(recorded));
    ExpectStopped(NotifyRecordingStopped);

    state.CurrentSamplePosition = 0;
    state.DataChunk.size = static_cast<uint32_t>(recorded) * 4;
    ASSERT_EQ(engine.StartPlayback(), ErrNone);
    WaitForStatusFileOpen();
    EXPECT_EQ(played->Bytes(), CountingPcm(recorded));
    EXPECT_EQ(state.CurrentSamplePosition.load(), recorded);
    ExpectStopped(NotifyPlaybackStopped);
}

}  // namespace
}  // namespace kora486
