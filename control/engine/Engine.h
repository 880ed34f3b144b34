#pragma once

#include <cstdint>
#include <thread>

#include "engine/CapturePipeline.h"
#include "engine/EngineContext.h"
#include "engine/LevelMeter.h"
#include "engine/PlaybackPipeline.h"
#include "engine/RecorderState.h"
#include "messaging/MessageQueue.h"
#include "platform/SoundDeviceService.h"

namespace kora486 {

/// The control's engine thread: one per control, running capture, playback, levels and VOX in
/// the order its messages arrive.
///
/// The host's thread starts and ends it and drives it through the members below, each of which
/// posts a command and, where the protocol says so, waits until the engine has acknowledged it.
/// The engine reports only through the notification window's queue, never by calling the host.
class Engine {
public:
    Engine(RecorderState& state, SoundDeviceService& devices, MessageQueue& notifyWindow);
    /// Stops a run still going and ends the thread.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    /// Host thread. Starts the thread and waits until it is idle. False when no thread could be
    /// made: the control then has no engine.
    bool Start();

    /// Host thread. Posts CmdQuit and waits until the thread has ended. The host stops recording
    /// and playback first.
    void End();

    /// True from a successful Start until End.
    bool IsRunning() const { return thread_.joinable(); }

    /// Host thread, Status 2 only. Answers ErrNone with Status 3, or ErrRecordStart.
    ErrorCode StartRecording();
    /// Host thread, Status 2 only. Answers ErrNone with Status 4, or ErrPlayStart.
    ErrorCode StartPlayback();
    /// Host thread, Status 3 only. Returns once the recording has stopped (Status 2).
    void StopRecording();
    /// Host thread, Status 4 only. Returns once the playback has stopped (Status 2).
    void StopPlayback();
    /// Host thread, Status 4 only. Pauses (non-zero) or resumes the playback; does not wait.
    void PausePlayback(int16_t paused);

    /// Posts any command as it stands. False when the engine cannot take it.
    bool PostCommand(int32_t command, intptr_t argument = 0);

private:
    void Run();
    void HandleCommand(int32_t command, intptr_t argument);
    void HandleInputBuffer(WaveHeader& header);
    void HandleOutputBuffer(WaveHeader& header);
    void FinishStop();
    /// Host thread: posts a start command and waits for the engine's answer.
    ErrorCode Begin(int32_t command, StatusCode running, EngineStateCode failed);
    void AnswerStart();

    RecorderState& state_;
    MessageQueue commands_;
    EngineContext context_;
    LevelMeter levels_;
    CapturePipeline capture_;
    PlaybackPipeline playback_;
    std::thread thread_;
};

}  // namespace kora486
