#pragma once

#include <cstdint>

namespace kora486 {

/// Posted by the host to the engine thread: wParam is the command, lParam its argument.
inline constexpr uint32_t EngineCommandMessage = 1038;
/// Posted by the engine thread to the notification window: wParam is the notification, lParam 0.
inline constexpr uint32_t EngineNotifyMessage = 1037;

enum EngineCommand : int32_t {
    CmdIdle = 0,
    CmdQuit = 1,
    CmdStartRecording = 2,
    CmdStopRecording = 3,
    CmdStartPlayback = 4,
    CmdStopPlayback = 5,
    CmdPausePlayback = 6,
};

enum EngineStateCode : int16_t {
    EngineStopped = 0,
    EngineStarting = 1,
    EngineIdle = 2,
    EngineRecordFailed = 3,
    EngineRecording = 4,
    EngineStopping = 5,
    EnginePlayFailed = 6,
    EnginePlaying = 7,
};

enum EngineNotification : int32_t {
    NotifyRecordingStopped = 1,
    NotifyPlaybackStopped = 2,
    NotifyLevels = 3,
    NotifyVoxState = 4,
};

/// Buffers in the ring of every recording and playback: one second of sound at 0.1 s each.
inline constexpr int RingBufferCount = 10;

/// The level of a silent channel, and of both channels after every stop.
inline constexpr float SilenceLevel = -9999.0f;

}  // namespace kora486
