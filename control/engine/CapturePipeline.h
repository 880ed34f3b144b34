#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineContext.h"
#include "files/RiffFile.h"

namespace kora486 {

/// Records from the input device into the open file at the current position, over the sound
/// there (overwrite) or through a temporary insert file merged in at the stop (insert), with the
/// marker tones around every stretch of sound. Engine thread only.
class CapturePipeline {
public:
    explicit CapturePipeline(EngineContext& context) : context_(context) {}

    /// For CmdStartRecording: opens the insert file in insert mode and the input device, and
    /// queues the ring. Leaves the engine recording, or failed with everything it acquired
    /// released.
    void BeginRecording();

    /// Writes one returned buffer of frames at the current position, or drops it while paused,
    /// and stops the recording at the record limit, at the most the file can hold, or on a
    /// failed write.
    void WriteRecordedBuffer(const WaveHeader& header, uint32_t frames);

    /// Gives a returned buffer back to the device while the recording runs.
    void Requeue(WaveHeader& header);

    /// Returns every queued buffer at once (the stop command, the limit, a write failure).
    void ResetDevice();

    /// When the last buffer is back after a stop: releases the device and the ring, writes the
    /// post-record tone that is due, merges the insert file, and tells the host that the
    /// recording has stopped. The engine then sets Status back to 2.
    void EndRecording();

    /// Writes the marker tone of the given seconds at the current position, like recorded sound.
    /// `final` ends a compressed file's encoder stream; uncompressed files ignore it.
    void WriteTone(double seconds, bool final);

    /// The two file primitives of recording. In insert mode the seek does nothing and the sound
    /// goes to the insert file (a short write answers -1); otherwise both act on the open file.
    int64_t SeekForWrite(int64_t offset);
    int32_t WriteSound(const void* bytes, int32_t count);

private:
    void StopWithError(ErrorCode code);
    /// Undoes a start that failed after the device opened; queued: the ring was given to it.
    void ReleaseStart(bool queued);
    void CloseDevice();
    bool OpenInsertFile();
    void CloseInsertFile();
    void MergeInsertFile();
    /// Where the next write goes, worked out from the position when it is not known.
    int64_t WritePosition();
    /// Frames the recording may still add at the write point before the file is full.
    int64_t RoomFrames() const;
    void AdvanceAfterWrite(int32_t frames);

    EngineContext& context_;
    std::unique_ptr<WaveInDevice> waveIn_;
    std::vector<uint8_t> codes_;  // one buffer of G.711 codes, made at the start
    std::vector<uint8_t> tone_;   // one piece of a tone, made when the first tone is written

    // The mode the recording started in holds until it stops, whatever Insert says meanwhile.
    bool insert_ = false;
    std::unique_ptr<RiffFile> insertFile_;
    std::string insertFileName_;
    int32_t insertStart_ = 0;
};

}  // namespace kora486
