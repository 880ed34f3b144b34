#pragma once

#include <cstdint>

namespace kora486 {

/// The four events of the control, as the notification window raises them on the host's thread.
/// The control's COM layer fires them to its connected sinks; a host in C++ may take them
/// directly.
class ControlEvents {
public:
    virtual ~ControlEvents() = default;
    /// A recording has ended: 0 when the host stopped it, else the code that stopped it.
    virtual void RecordingStopped(int16_t errorCode) = 0;
    /// A playback has ended: 0 at the end of the sound or when stopped, 11 after a read error.
    virtual void PlaybackStopped(int16_t errorCode) = 0;
    /// New levels in dB; an overload flag is 1 only for the buffer that overloaded.
    virtual void NewLevelValues(float leftLevel, int16_t leftOverload, float rightLevel,
                                int16_t rightOverload) = 0;
    /// VOX has paused (1) or resumed (0) the recording.
    virtual void NewVoxState(int16_t voxState) = 0;
};

}  // namespace kora486
