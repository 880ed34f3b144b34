#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/ControlCodes.h"
#include "engine/EngineProtocol.h"
#include "files/ChunkInfo.h"
#include "files/MmioFile.h"
#include "platform/SoundDeviceService.h"
#include "platform/WaveFormatEx.h"

namespace kora486 {

/// The fields of the control object that its interface methods (the host's thread) and its engine
/// thread share, with the control's initial values.
///
/// Who may touch what:
/// - Atomic fields are written by one side while the other reads, during a run.
/// - Plain fields in "set up by the host" are written only while no recording or playback runs;
///   the start handshake (the command queue and EngineState) hands them to the engine.
/// - Plain fields in "engine only" belong to the engine thread while a run lasts; the host reads
///   them only after the run has stopped.
/// - The host's position move and the engine's per-buffer update of CurrentSamplePosition,
///   ReadPosition and BytePosition are made exclusive by PositionLock.
struct RecorderState {
    // Settings written by the host; the engine reads them for every buffer.
    std::atomic<int16_t> Paused{0};
    std::atomic<float> PreToneDuration{0.0f};
    std::atomic<float> PostToneDuration{0.0f};
    std::atomic<int32_t> RecordLimit{0};
    std::atomic<int32_t> RecordDevice{WaveMapper};
    std::atomic<int32_t> PlaybackDevice{WaveMapper};
    std::atomic<int16_t> Insert{0};
    std::atomic<int16_t> VoxChannel{0};
    std::atomic<float> VoxStartLevel{0.0f};
    std::atomic<float> VoxStopLevel{0.0f};
    std::atomic<int16_t> VoxTime{0};

    // Set up by the host while the engine is idle.
    int16_t PlayOnly = 0;
    WaveFormatEx WaveFormat{};
    MmioFile* FileHandle = nullptr;
    ChunkInfo RiffChunk{};
    ChunkInfo FmtChunk{};
    ChunkInfo FactChunk{};
    ChunkInfo DataChunk{};
    int16_t HasFactChunk = 0;
    /// Chunks that a file from elsewhere keeps after its data chunk; written back after the data
    /// whenever the data chunk is finished, since a recording past the end writes over them.
    std::vector<uint8_t> TrailingChunks;
    int16_t AcmActive = 0;
    /// The most a recording may make of the file: what a RIFF size and a data size of 32 bits,
    /// and a frame count of 31, can say. A recording stops at the limit before it crosses it.
    /// Tests lower these to reach the limit without writing gigabytes.
    int64_t MaxRiffSize = UINT32_MAX;
    int32_t MaxFrames = INT32_MAX;

    // Written by both threads.
    std::atomic<int16_t> EngineState{EngineStopped};
    /// Counts the engine's answers to the start commands it takes. A run can start and end
    /// before the host looks (a fast device), so the host waits for this count to move, not for
    /// EngineState to leave idle.
    std::atomic<uint32_t> StartsAnswered{0};
    std::atomic<int16_t> Status{StatusNotInitialised};
    std::atomic<int32_t> CurrentSamplePosition{0};
    std::atomic<int32_t> NumSamples{0};
    std::atomic<int32_t> RecordedSamples{0};
    std::atomic<int16_t> LastError{ErrNone};
    std::atomic<int16_t> VoxPaused{0};
    std::atomic<int16_t> VoxQuietCount{0};
    std::atomic<double> ReadPosition{0.0};
    /// Absolute file offset of the next write while recording; -1: work it out from the position.
    /// 64 bits, as a file may hold 4 GiB of sound.
    std::atomic<int64_t> BytePosition{-1};
    std::mutex PositionLock;

    // Written by the engine, read by the host.
    std::atomic<float> LeftLevel{0.0f};
    std::atomic<float> RightLevel{0.0f};
    std::atomic<int32_t> LeftOverload{1};
    std::atomic<int32_t> RightOverload{1};
    std::atomic<int16_t> LeftOverloadHold{0};
    std::atomic<int16_t> RightOverloadHold{0};
    std::atomic<int16_t> StopError{ErrNone};
    std::atomic<uint32_t> WorkerThreadId{0};

    // Engine only.
    WaveFormatEx DeviceFormat{};
    double LeftPeakPower = 0.0;
    double RightPeakPower = 0.0;
    int32_t ToneDue = 1;
    int32_t StopPhase = 0;
    int32_t EncodeFlags = 0;
    int32_t DecodeFlags = 0;
};

/// Stores a value and wakes every thread waiting on the field for a change.
template <typename T>
void Publish(std::atomic<T>& field, T value) {
    field.store(value);
    field.notify_all();
}

/// Waits until the field holds the value (the host's waits on the engine).
template <typename T>
void WaitUntil(const std::atomic<T>& field, T value) {
    for (T seen = field.load(); seen != value; seen = field.load()) {
        field.wait(seen);
    }
}

/// Waits while the field holds the value and answers the first other value seen.
template <typename T>
T WaitWhile(const std::atomic<T>& field, T value) {
    field.wait(value);
    T seen = field.load();
    while (seen == value) {
        field.wait(value);
        seen = field.load();
    }
    return seen;
}

/// The stop error of an engine failure: kept for the stopped event and in LastError.
inline void RecordStopError(RecorderState& state, ErrorCode code) {
    state.StopError.store(code);
    state.LastError.store(code);
}

}  // namespace kora486
