#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "engine/SampleFormat.h"
#include "support/WavBuilder.h"
#include "surface/ControlFixture.h"

namespace kora486 {
namespace {

using testing::Le32At;
using testing::ReadAll;

// Keeps every event as a line of text, in the order they came.
class EventLog final : public ControlEvents {
public:
    void RecordingStopped(int16_t errorCode) override {
        lines.push_back("RecordingStopped " + std::to_string(errorCode));
    }
    void PlaybackStopped(int16_t errorCode) override {
        lines.push_back("PlaybackStopped " + std::to_string(errorCode));
    }
    void NewLevelValues(float leftLevel, int16_t leftOverload, float rightLevel,
                        int16_t rightOverload) override {
        lines.push_back("NewLevelValues " + Level(leftLevel) + " " + std::to_string(leftOverload) +
                        " " + Level(rightLevel) + " " + std::to_string(rightOverload));
    }
    void NewVoxState(int16_t voxState) override {
        lines.push_back("NewVoxState " + std::to_string(voxState));
    }

    static std::string Level(float db) { return std::to_string(static_cast<int>(std::lround(db))); }

    std::vector<std::string> lines;
};

class Kora486CtrlEventsTest : public testing::ControlTest {
protected:
    void SetUp() override {
        testing::ControlTest::SetUp();
        ctrl->SetEventTarget(&log);
        UseFormat(FormatPcm16, 1, 8000);
    }

    EventLog log;
};

TEST_F(Kora486CtrlEventsTest, StopIsFollowedByRecordingStoppedThenSilentLevels) {
    source = [] { return MakeLevelsSource({-20}); };
    const std::string path = Path("events.wav");
    ASSERT_EQ(ctrl->OpenNewFile(path), ErrNone);
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    for (int buffer = 0; buffer < 2; ++buffer) {
        CaptureBuffers(1);
        ctrl->DispatchNotifications();
    }
    ctrl->Stop();
    EXPECT_EQ(log.lines.size(), 2u) << "nothing is delivered until the host dispatches";
    EXPECT_EQ(ctrl->DispatchNotifications(), 2u);

    const std::vector<std::string> expected = {
        "NewLevelValues -20 0 -9999 0",  // mono: the right channel is silent
        "NewLevelValues -20 0 -9999 0",
        "RecordingStopped 0",
        "NewLevelValues -9999 0 -9999 0",
    };
    EXPECT_EQ(log.lines, expected);
    // The file was finished by the notification, not by the test.
    EXPECT_EQ(Le32At(ReadAll(path), 42), 3200u);
}

TEST_F(Kora486CtrlEventsTest, StopsByThemselvesCarryTheirCodes) {
    ASSERT_EQ(ctrl->OpenNewFile(Path("limit.wav")), ErrNone);
    ASSERT_EQ(ctrl->PutRecordLimit(800), S_OK);
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    CaptureBuffers(1);
    ASSERT_EQ(devices.CompleteInputBuffers(1), 1u);
    ASSERT_TRUE(WaitForStatus(StatusFileOpen));
    ctrl->DispatchNotifications();
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines[log.lines.size() - 2], "RecordingStopped 13");
    EXPECT_EQ(ctrl->LastError(), ErrRecordLimit);

    log.lines.clear();
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
    ASSERT_EQ(ctrl->StartPlayback(), ErrNone);
    PlayToTheEnd();
    ctrl->DispatchNotifications();
    EXPECT_EQ(log.lines[log.lines.size() - 2], "PlaybackStopped 0");
}

TEST_F(Kora486CtrlEventsTest, AnOverloadIsReportedOnceAndVoxOnlyWhileRecording) {
    // One loud buffer, then quiet ones: VOX (VoxTime 1) pauses after two of them.
    source = [] { return MakeLevelsSource({0, -60, -60, -60}); };
    ASSERT_EQ(ctrl->OpenNewFile(Path("vox.wav")), ErrNone);
    ASSERT_EQ(ctrl->PutVoxChannel(1), S_OK);
    ASSERT_EQ(ctrl->PutVoxStartLevel(-30.0f), S_OK);
    ASSERT_EQ(ctrl->PutVoxStopLevel(-40.0f), S_OK);
    ASSERT_EQ(ctrl->PutVoxTime(1), S_OK);
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    for (int buffer = 0; buffer < 4; ++buffer) {
        CaptureBuffers(1);
        ctrl->DispatchNotifications();  // the handler reads the levels as they are now
    }
    const std::vector<std::string> recording = {
        "NewLevelValues 0 1 -9999 0",  // the meter holds the overload; the event reports it once
        "NewLevelValues -60 0 -9999 0", "NewVoxState 1",
        "NewLevelValues -60 0 -9999 0", "NewLevelValues -60 0 -9999 0",
    };
    EXPECT_EQ(log.lines, recording);
    EXPECT_EQ(ctrl->State().LeftOverload.load(), 1) << "the meter's segment is still lit";
    ctrl->Stop();
    ctrl->DispatchNotifications();
    EXPECT_EQ(ctrl->VoxPaused(), 0) << "the stop clears the VOX pause";

    // The same sound played back: VOX pauses again, but no event says so.
    log.lines.clear();
    ASSERT_EQ(ctrl->PutCurrentSamplePosition(0), S_OK);
    ASSERT_EQ(ctrl->StartPlayback(), ErrNone);
    PlayToTheEnd();
    ctrl->DispatchNotifications();
    for (const std::string& line : log.lines) {
        EXPECT_EQ(line.rfind("NewVoxState", 0), std::string::npos) << line;
    }
}

TEST_F(Kora486CtrlEventsTest, NotificationsStillQueuedWhenTheControlGoesAreDropped) {
    ASSERT_EQ(ctrl->OpenNewFile(Path("gone.wav")), ErrNone);
    ASSERT_EQ(ctrl->StartRecording(), ErrNone);
    CaptureBuffers(1);
    ctrl.reset();  // stops the recording, which posts; the window goes with the control
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(Le32At(ReadAll(Path("gone.wav")), 42), 1600u) << "the close finished the file";
}

}  // namespace
}  // namespace kora486
