#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "files/FileFaults.h"
#include "platform/VirtualDevices.h"
#include "platform/VirtualSinks.h"
#include "platform/VirtualSources.h"
#include "surface/Kora486Ctrl.h"

namespace kora486::testing {

inline std::vector<uint8_t> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteAll(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

/// A reset control over virtual devices the test clocks by hand, with files in a folder of its
/// own. The input captures what `source` makes (a 440 Hz sine at -6 dBFS unless a test says
/// otherwise before it starts recording); the output keeps what it plays in `played`.
class ControlTest : public ::testing::Test {
protected:
    ControlTest() : devices(Manual()) {}

    VirtualDeviceConfig Manual() {
        VirtualDeviceConfig config;
        config.clock = VirtualClock::Manual;
        config.makeSource = [this] { return source(); };
        config.makeSink = [this] { return MakeMemorySink(played); };
        return config;
    }

    void SetUp() override {
        char pattern[] = "/tmp/kora486-ctrl-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ctrl = std::make_unique<Kora486Ctrl>(devices);
        ASSERT_EQ(ctrl->Reset(), ErrNone);
    }

    void TearDown() override {
        ctrl.reset();
        ClearFileFaults();
        std::filesystem::remove_all(dir);
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    void UseFormat(int16_t code, int16_t channels, int32_t rate) {
        ASSERT_EQ(ctrl->PutBitsPerSample(code), S_OK);
        ASSERT_EQ(ctrl->PutNumChannels(channels), S_OK);
        ASSERT_EQ(ctrl->PutSampleRate(rate), S_OK);
    }

    /// Completes input buffers one at a time, each after the engine has given the last one back.
    void CaptureBuffers(int buffers) {
        using namespace std::chrono_literals;
        for (int i = 0; i < buffers; ++i) {
            ASSERT_TRUE(devices.WaitForQueuedInputBuffers(RingBufferCount, 5s));
            ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);
        }
        ASSERT_TRUE(devices.WaitForQueuedInputBuffers(RingBufferCount, 5s));
    }

    /// Records whole buffers through the engine, stops, and finishes the file as the
    /// notification window does.
    void Record(int buffers) {
        ASSERT_EQ(ctrl->StartRecording(), ErrNone);
        CaptureBuffers(buffers);
        ctrl->Stop();
        ctrl->FinishRecordingFile();
    }

    /// Waits until the control's Status is the one given; false after five seconds.
    bool WaitForStatus(int16_t status) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (ctrl->Status() != status) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    /// Plays buffer after buffer, as the engine queues them, until the playback has stopped.
    void PlayToTheEnd() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ctrl->Status() == StatusPlaying) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "the playback never ended";
            if (devices.CompleteOutputBuffers(1) == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    /// The engine's notifications waiting in the window, oldest first.
    std::vector<uint32_t> Notifications() {
        std::vector<uint32_t> codes;
        while (auto m = ctrl->NotifyWindow().Peek()) {
            codes.push_back(static_cast<uint32_t>(m->wParam));
        }
        return codes;
    }

    std::filesystem::path dir;
    std::function<std::unique_ptr<InputSource>()> source = [] {
        return MakeSineSource(440.0, -6.0);
    };
    std::shared_ptr<MemoryRecording> played = std::make_shared<MemoryRecording>();
    VirtualDevices devices;
    std::unique_ptr<Kora486Ctrl> ctrl;
};

}  // namespace kora486::testing
