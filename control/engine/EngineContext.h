#pragma once

#include <cstdint>

#include "engine/BufferRing.h"
#include "engine/RecorderState.h"
#include "messaging/MessageQueue.h"
#include "platform/SoundDeviceService.h"

namespace kora486 {

/// What the engine thread's routines work on: the shared recorder state, the sound devices, the
/// engine's own queue (which the devices post to), the notification window, and the buffer ring
/// of the run in progress. Engine thread only, but for construction.
struct EngineContext {
    RecorderState& state;
    SoundDeviceService& devices;
    MessageQueue& engineQueue;
    MessageQueue& notifyWindow;
    BufferRing ring;
    uint16_t BuffersOutstanding = 0;

    void Notify(EngineNotification code) const {
        notifyWindow.Post(EngineNotifyMessage, static_cast<uintptr_t>(code), 0);
    }

    void SetEngineState(EngineStateCode value) const {
        Publish(state.EngineState, static_cast<int16_t>(value));
    }

    EngineStateCode EngineState() const {
        return static_cast<EngineStateCode>(state.EngineState.load());
    }

    /// True when the file holds 8-bit G.711 codes and the device 16-bit samples.
    bool IsG711() const {
        return state.WaveFormat.formatTag == WaveFormatALaw ||
               state.WaveFormat.formatTag == WaveFormatMuLaw;
    }

    /// Frames in a device buffer of the given bytes: a G.711 device sample is twice a file sample.
    uint32_t FramesInDeviceBytes(uint32_t bytes) const {
        const uint16_t blockAlign = state.WaveFormat.blockAlign;
        if (blockAlign == 0) {
            return 0;
        }
        const uint32_t frames = bytes / blockAlign;
        return IsG711() ? frames / 2 : frames;
    }
};

}  // namespace kora486
