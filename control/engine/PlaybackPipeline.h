#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/EngineContext.h"

namespace kora486 {

/// Plays the open file from the current position on the output device.
/// Engine thread only.
class PlaybackPipeline {
public:
    explicit PlaybackPipeline(EngineContext& context) : context_(context) {}

    /// For CmdStartPlayback: opens the output device, fills and queues the ring while the device
    /// is paused, then lets it run unless Paused is set. Leaves the engine playing, or failed with
    /// everything it acquired released.
    void BeginPlayback();

    /// Fills a buffer from ReadPosition. Answers the frames read, 0 at the end of the sound, or
    /// below 0 when the read failed.
    int32_t RefillBuffer(WaveHeader& header);

    /// Queues a refilled buffer again.
    void Requeue(WaveHeader& header);

    bool IsDeviceOpen() const { return waveOut_ != nullptr; }
    void PauseDevice();
    /// Returns every queued buffer at once; the device is left running.
    void ResetDevice();

    /// When the last buffer is back: releases the device and the ring, and tells the host that
    /// the playback has stopped. The engine then sets Status back to 2.
    void EndPlayback();

private:
    /// Undoes a start that failed after the device opened; queued: buffers were given to it.
    void ReleaseStart(bool queued);
    void CloseDevice();

    EngineContext& context_;
    std::unique_ptr<WaveOutDevice> waveOut_;
    std::vector<uint8_t> codes_;  // one buffer of G.711 codes read from the file
};

}  // namespace kora486
