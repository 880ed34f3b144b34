#include "engine/Engine.h"

#include <sys/resource.h>
#include <unistd.h>

#include <system_error>

namespace kora486 {

Engine::Engine(RecorderState& state, SoundDeviceService& devices, MessageQueue& notifyWindow)
    : state_(state),
      context_{state, devices, commands_, notifyWindow, {}, 0},
      levels_(context_),
      capture_(context_),
      playback_(context_) {}

Engine::~Engine() {
    if (!IsRunning()) {
        return;
    }
    switch (state_.Status.load()) {
        case StatusRecording:
            StopRecording();
            break;
        case StatusPlaying:
            StopPlayback();
            break;
        default:
            break;
    }
    End();
}

bool Engine::Start() {
    Publish(state_.EngineState, static_cast<int16_t>(EngineStopped));
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        return false;
    }
    WaitWhile(state_.EngineState, static_cast<int16_t>(EngineStopped));
    // Twice, as the thread may be about to look at its queue for the first time.
    PostCommand(CmdIdle);
    PostCommand(CmdIdle);
    WaitWhile(state_.EngineState, static_cast<int16_t>(EngineStarting));

    // The engine must answer every buffer within 0.1 s, so it runs ahead of the host's thread.
    // Raising a priority needs privileges a desktop user may lack; then it runs at the default.
    setpriority(PRIO_PROCESS, static_cast<id_t>(state_.WorkerThreadId.load()), -5);
    return true;
}

void Engine::End() {
    if (!IsRunning()) {
        return;
    }
    PostCommand(CmdQuit);
    WaitUntil(state_.EngineState, static_cast<int16_t>(EngineStopped));
    thread_.join();
}

bool Engine::PostCommand(int32_t command, intptr_t argument) {
    return commands_.Post(EngineCommandMessage, static_cast<uintptr_t>(command), argument);
}

ErrorCode Engine::Begin(int32_t command, StatusCode running, EngineStateCode failed) {
    const uint32_t answered = state_.StartsAnswered.load();
    // Status says running before the engine can end the run and set it back to 2, which a
    // short run on a fast device does before this thread wakes.
    Publish(state_.Status, static_cast<int16_t>(running));
    PostCommand(command);
    WaitWhile(state_.StartsAnswered, answered);
    if (state_.EngineState.load() == failed) {
        Publish(state_.EngineState, static_cast<int16_t>(EngineIdle));
        Publish(state_.Status, static_cast<int16_t>(StatusFileOpen));
        return failed == EngineRecordFailed ? ErrRecordStart : ErrPlayStart;
    }
    return ErrNone;
}

ErrorCode Engine::StartRecording() {
    return Begin(CmdStartRecording, StatusRecording, EngineRecordFailed);
}

ErrorCode Engine::StartPlayback() {
    return Begin(CmdStartPlayback, StatusPlaying, EnginePlayFailed);
}

void Engine::StopRecording() {
    PostCommand(CmdStopRecording);
    WaitUntil(state_.Status, static_cast<int16_t>(StatusFileOpen));
}

void Engine::StopPlayback() {
    PostCommand(CmdStopPlayback);
    WaitUntil(state_.Status, static_cast<int16_t>(StatusFileOpen));
}

void Engine::PausePlayback(int16_t paused) {
    PostCommand(CmdPausePlayback, paused);
}

void Engine::Run() {
    state_.WorkerThreadId.store(static_cast<uint32_t>(gettid()));
    context_.SetEngineState(EngineStarting);
    for (;;) {
        const Message message = commands_.Get();
        switch (message.id) {
            case EngineCommandMessage:
                HandleCommand(static_cast<int32_t>(message.wParam), message.lParam);
                break;
            case MmWimData:
                HandleInputBuffer(*reinterpret_cast<WaveHeader*>(message.lParam));
                break;
            case MmWomDone:
                HandleOutputBuffer(*reinterpret_cast<WaveHeader*>(message.lParam));
                break;
            default:
                break;
        }
        if (message.id == EngineCommandMessage && message.wParam == CmdQuit) {
            break;
        }
    }
    context_.SetEngineState(EngineStopped);
}

void Engine::HandleCommand(int32_t command, intptr_t argument) {
    const EngineStateCode engineState = context_.EngineState();
    switch (command) {
        case CmdIdle:
            context_.SetEngineState(EngineIdle);
            break;
        case CmdQuit:
            break;
        case CmdStartRecording:
            if (engineState == EngineIdle) {
                state_.StopError.store(ErrNone);
                levels_.ResetLevels();
                capture_.BeginRecording();
                AnswerStart();
            }
            break;
        case CmdStopRecording:
            if (engineState == EngineRecording) {
                capture_.ResetDevice();
                context_.SetEngineState(EngineStopping);
            }
            break;
        case CmdStartPlayback:
            if (engineState == EngineIdle) {
                state_.StopError.store(ErrNone);
                levels_.ResetLevels();
                playback_.BeginPlayback();
                AnswerStart();
            }
            break;
        case CmdStopPlayback:
            // Taken in 5 too: a playback already running out is cut short. A recording that is
            // stopping is 5 as well, but has no output device to reset.
            if (engineState == EnginePlaying ||
                (engineState == EngineStopping && playback_.IsDeviceOpen())) {
                playback_.ResetDevice();
                state_.StopPhase = 1;
                context_.SetEngineState(EngineStopping);
            }
            break;
        case CmdPausePlayback:
            if (engineState == EnginePlaying) {
                // The argument is the new Paused value as a 16-bit number.
                if (static_cast<int16_t>(argument) != 0) {
                    playback_.PauseDevice();
                } else {
                    // Every queued buffer comes back at once and counts as played; the refills
                    // go on from ReadPosition on a running device.
                    playback_.ResetDevice();
                }
            }
            break;
        default:
            context_.SetEngineState(EngineIdle);
            break;
    }
}

void Engine::HandleInputBuffer(WaveHeader& header) {
    if (header.bytesRecorded > 0) {
        const uint32_t frames = context_.FramesInDeviceBytes(header.bytesRecorded);
        levels_.MeasureBuffer(header, frames);
        capture_.WriteRecordedBuffer(header, frames);
    }
    if (context_.EngineState() == EngineRecording) {
        capture_.Requeue(header);
        return;
    }
    if (--context_.BuffersOutstanding == 0) {
        capture_.EndRecording();
        FinishStop();
    }
}

void Engine::HandleOutputBuffer(WaveHeader& header) {
    const auto frames = static_cast<int32_t>(context_.FramesInDeviceBytes(header.bufferLength));
    {
        std::lock_guard position(state_.PositionLock);
        // After a stop only the buffer that was sounding counts; those behind it were not heard.
        if (state_.StopPhase != 2) {
            state_.CurrentSamplePosition.fetch_add(frames);
        }
    }
    if (state_.StopPhase == 1) {
        state_.StopPhase = 2;
    }
    levels_.MeasureBuffer(header, static_cast<uint32_t>(frames));

    if (context_.EngineState() == EnginePlaying) {
        const int32_t refilled = playback_.RefillBuffer(header);
        if (refilled > 0) {
            playback_.Requeue(header);
            return;
        }
        context_.SetEngineState(EngineStopping);
        --context_.BuffersOutstanding;
        if (refilled < 0) {
            RecordStopError(state_, ErrPlayRead);
        }
    } else {
        --context_.BuffersOutstanding;
    }
    if (context_.BuffersOutstanding > 0) {
        return;
    }
    playback_.EndPlayback();
    FinishStop();
}

void Engine::AnswerStart() {
    Publish(state_.StartsAnswered, state_.StartsAnswered.load() + 1);
}

void Engine::FinishStop() {
    levels_.PublishSilence();
    // Status goes back last, so a host whose Stop returns finds every notification of the stop
    // queued and the levels already silent.
    Publish(state_.Status, static_cast<int16_t>(StatusFileOpen));
}

}  // namespace kora486
