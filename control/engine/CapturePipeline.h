#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/EngineContext.h"

namespace kora486 {

/// Records from the input device into the open file at the current position.
/// Engine thread only.
class CapturePipeline {
public:
    explicit CapturePipeline(EngineContext& context) : context_(context) {}

    /// For CmdStartRecording: opens the input device and queues the ring. Leaves the engine
    /// recording, or failed with everything it acquired released.
    void BeginRecording();

    /// Writes one returned buffer of frames at the current position, or drops it while paused,
    /// and stops the recording at the record limit or on a failed write.
    void WriteRecordedBuffer(const WaveHeader& header, uint32_t frames);

    /// Gives a returned buffer back to the device while the recording runs.
    void Requeue(WaveHeader& header);

    /// Returns every queued buffer at once (the stop command, the limit, a write failure).
    void ResetDevice();

    /// When the last buffer is back after a stop: releases the device and the ring, and tells the
    /// host that the recording has stopped. The engine then sets Status back to 2.
    void EndRecording();

    /// Writes at an absolute file offset.
    int64_t SeekForWrite(int64_t offset);
    int32_t WriteSound(const void* bytes, int32_t count);

private:
    void StopWithError(ErrorCode code);
    /// Undoes a start that failed after the device opened; queued: the ring was given to it.
    void ReleaseStart(bool queued);
    void CloseDevice();
    void AdvanceAfterWrite(int32_t frames);

    EngineContext& context_;
    std::unique_ptr<WaveInDevice> waveIn_;
    std::vector<uint8_t> codes_;  // one buffer of G.711 codes, made at the start
};

}  // namespace kora486
