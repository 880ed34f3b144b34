#include "engine/LevelMeter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/SampleFormat.h"
#include "platform/VirtualDevices.h"

namespace kora486 {
namespace {

// A meter over a state of its own, with the notifications it posts kept in a queue.
class LevelMeterTest : public ::testing::Test {
protected:
    void UseFormat(SampleFormatCode code, uint16_t channels) {
        state.WaveFormat = BuildWaveFormat(code, channels, 8000);
    }

    // Measures one buffer of frames, every sample 'rest' but the first one, which is 'peak'.
    void Measure(int peak, int rest, uint32_t frames = 800) {
        const uint16_t channels = state.WaveFormat.channels;
        const bool wide =
            state.WaveFormat.bitsPerSample != 8 || state.WaveFormat.formatTag != WaveFormatPcm;
        block.assign(static_cast<size_t>(frames) * channels * (wide ? 2 : 1), 0);
        for (size_t i = 0; i < static_cast<size_t>(frames) * channels; ++i) {
            const int value = i == 0 ? peak : rest;
            if (wide) {
                const auto sample = static_cast<int16_t>(value);
                std::memcpy(block.data() + 2 * i, &sample, 2);
            } else {
                block[i] = static_cast<uint8_t>(value);
            }
        }
        WaveHeader header;
        header.data = block.data();
        header.bufferLength = static_cast<uint32_t>(block.size());
        meter.MeasureBuffer(header, frames);
    }

    // Measures a buffer whose every left sample is 'left' and every right sample 'right'.
    void MeasureChannels(int left, int right, uint32_t frames = 800) {
        const uint16_t channels = state.WaveFormat.channels;
        block.assign(static_cast<size_t>(frames) * channels * 2, 0);
        for (size_t i = 0; i < static_cast<size_t>(frames) * channels; ++i) {
            const auto sample = static_cast<int16_t>(channels == 2 && i % 2 ? right : left);
            std::memcpy(block.data() + 2 * i, &sample, 2);
        }
        WaveHeader header;
        header.data = block.data();
        header.bufferLength = static_cast<uint32_t>(block.size());
        meter.MeasureBuffer(header, frames);
    }

    std::vector<uint32_t> Notifications() {
        std::vector<uint32_t> codes;
        while (auto m = window.Peek()) {
            codes.push_back(static_cast<uint32_t>(m->wParam));
        }
        return codes;
    }

    RecorderState state;
    VirtualDevices devices;
    MessageQueue engineQueue;
    MessageQueue window;
    EngineContext context{state, devices, engineQueue, window, {}, 0};
    LevelMeter meter{context};
    std::vector<uint8_t> block;
};

TEST_F(LevelMeterTest, LevelAndOverloadOfOneBuffer) {
    struct Case {
        const char* name;
        SampleFormatCode code;
        int peak;
        int rest;
        float level;
        float tolerance;
        int32_t overload;
    };
    const Case cases[] = {
        {"silence", FormatPcm16, 0, 0, -9999.0f, 0.0f, 0},
        {"full scale", FormatPcm16, 32767, 0, -0.000265f, 0.000005f, 1},
        {"30000 is not yet overload", FormatPcm16, 30000, 0, -0.767f, 0.001f, 0},
        {"-30001 overloads", FormatPcm16, -30001, 0, -0.766f, 0.001f, 1},
        {"tone amplitude", FormatPcm16, 16384, 0, -6.02f, 0.005f, 0},
        {"8-bit silence", FormatPcm8, 128, 128, -9999.0f, 0.0f, 0},
        {"8-bit x = 115", FormatPcm8, 243, 128, -0.930f, 0.001f, 0},
        {"8-bit x = 116", FormatPcm8, 244, 128, -0.855f, 0.001f, 1},
        {"8-bit x = -116", FormatPcm8, 12, 128, -0.855f, 0.001f, 1},
        {"A-law devices give 16-bit samples", FormatALaw, 16384, 0, -6.02f, 0.005f, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        meter.ResetLevels();
        UseFormat(c.code, 1);
        Measure(c.peak, c.rest);
        EXPECT_NEAR(state.LeftLevel.load(), c.level, c.tolerance);
        EXPECT_EQ(state.LeftOverload.load(), c.overload);
        EXPECT_EQ(state.RightLevel.load(), SilenceLevel) << "mono has no right channel";
    }
}

TEST_F(LevelMeterTest, StereoSamplesAlternateLeftAndRight) {
    UseFormat(FormatPcm16, 2);
    Measure(32767, 16384);  // the first sample is left, every other one 16384
    EXPECT_NEAR(state.LeftLevel.load(), -0.000265f, 0.000005f);
    EXPECT_NEAR(state.RightLevel.load(), -6.02f, 0.005f);
    EXPECT_EQ(state.LeftOverload.load(), 1);
    EXPECT_EQ(state.RightOverload.load(), 0);
}

TEST_F(LevelMeterTest, OverloadHoldsForTenBuffers) {
    UseFormat(FormatPcm16, 1);
    Measure(32767, 0);
    std::vector<int32_t> flags{state.LeftOverload.load()};
    EXPECT_EQ(state.LeftOverloadHold.load(), 9);
    for (int i = 0; i < 10; ++i) {
        Measure(0, 0);
        flags.push_back(state.LeftOverload.load());
    }
    EXPECT_EQ(flags, (std::vector<int32_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}));
}

TEST_F(LevelMeterTest, ResetAndSilenceValues) {
    meter.ResetLevels();
    EXPECT_EQ(state.LeftLevel.load(), -100.0f);
    EXPECT_EQ(state.RightOverload.load(), 0);
    meter.PublishSilence();
    EXPECT_EQ(state.LeftLevel.load(), SilenceLevel);
    EXPECT_EQ(state.RightLevel.load(), SilenceLevel);
    EXPECT_EQ(Notifications(), (std::vector<uint32_t>{NotifyLevels}));
}

// 16-bit peaks of the VOX scenario: -45 dB is quiet, -35 dB holds, -20 dB is sound.
constexpr int Quiet = 184;   // about -45 dB
constexpr int Hold = 583;    // about -35 dB
constexpr int Sound = 3277;  // about -20 dB

TEST_F(LevelMeterTest, VoxPausesAfterVoxTimePlusOneQuietBuffersAndResumesOnSound) {
    UseFormat(FormatPcm16, 1);
    state.VoxChannel = 1;
    state.VoxStartLevel = -30.0f;
    state.VoxStopLevel = -40.0f;
    state.VoxTime = 20;

    for (int i = 0; i < 15; ++i) {
        Measure(Quiet, 0);
    }
    Measure(Hold, 0);  // restarts the count
    for (int i = 0; i < 20; ++i) {
        Measure(Quiet, 0);
    }
    EXPECT_EQ(state.VoxPaused.load(), 0);
    Notifications();
    Measure(Quiet, 0);  // the 21st quiet buffer in a row
    EXPECT_EQ(state.VoxPaused.load(), 1);
    EXPECT_EQ(Notifications(), (std::vector<uint32_t>{NotifyVoxState, NotifyLevels}));

    Measure(Hold, 0);
    EXPECT_EQ(state.VoxPaused.load(), 1) << "a hold keeps a pause in force";
    Measure(Sound, 0);
    EXPECT_EQ(state.VoxPaused.load(), 0);
    EXPECT_EQ(Notifications(), (std::vector<uint32_t>{NotifyLevels, NotifyVoxState, NotifyLevels}));
}

TEST_F(LevelMeterTest, VoxChannelChoosesWhatIsListenedTo) {
    struct Case {
        const char* name;
        uint16_t channels;
        int16_t voxChannel;
        int left;
        int right;
        int16_t paused;
    };
    // With VoxTime 1 the second quiet buffer in a row pauses.
    const Case cases[] = {
        {"off never pauses", 2, 0, Quiet, Quiet, 0},
        {"left listens to left", 2, 1, Quiet, Sound, 1},
        {"right listens to right", 2, 2, Sound, Quiet, 1},
        {"right ignores a loud left", 2, 2, Quiet, Sound, 0},
        {"both quiet pauses", 2, 3, Quiet, Quiet, 1},
        {"both needs both quiet", 2, 3, Quiet, Sound, 0},
        {"both holds on either", 2, 3, Hold, Quiet, 0},
        {"mono right is left", 1, 2, Quiet, 0, 1},
        {"mono both is left", 1, 3, Sound, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UseFormat(FormatPcm16, c.channels);
        state.VoxPaused = 0;
        state.VoxQuietCount = 0;
        state.VoxChannel = c.voxChannel;
        state.VoxStartLevel = -30.0f;
        state.VoxStopLevel = -40.0f;
        state.VoxTime = 1;
        MeasureChannels(c.left, c.right);
        MeasureChannels(c.left, c.right);
        EXPECT_EQ(state.VoxPaused.load(), c.paused);
    }
}

}  // namespace
}  // namespace kora486
