#include "engine/PlaybackPipeline.h"

#include <algorithm>

#include "engine/G711.h"
#include "engine/SampleFormat.h"

namespace kora486 {

void PlaybackPipeline::BeginPlayback() {
    RecorderState& s = context_.state;
    s.DeviceFormat = BuildDeviceFormat(s.WaveFormat);

    // Compressed files play through the decode stream, which arrives with the codec manager.
    if (s.AcmActive != 0) {
        context_.SetEngineState(EnginePlayFailed);
        return;
    }

    if (context_.devices.OpenOutput(s.PlaybackDevice.load(), s.DeviceFormat, context_.engineQueue,
                                    waveOut_) != MmNoError) {
        waveOut_.reset();
        context_.SetEngineState(EnginePlayFailed);
        return;
    }

    BufferRing& ring = context_.ring;
    ring.Allocate(BufferRing::BufferBytesFor(s.DeviceFormat));
    if (ring.PrepareAll(*waveOut_) != MmNoError) {
        ReleaseStart(false);
        return;
    }
    if (context_.IsG711()) {
        codes_.resize(ring.BufferBytes() / 2);
    }

    // Nothing sounds until the whole ring is filled.
    waveOut_->Pause();
    s.StopPhase = 0;
    s.ReadPosition.store(s.CurrentSamplePosition.load());
    s.BytePosition.store(-1);
    context_.BuffersOutstanding = 0;

    for (int i = 0; i < RingBufferCount; ++i) {
        const int32_t frames = RefillBuffer(ring[i]);
        if (frames < 0) {
            ReleaseStart(true);
            return;
        }
        if (frames > 0) {
            waveOut_->Write(ring[i]);
            ++context_.BuffersOutstanding;
        }
    }
    if (context_.BuffersOutstanding == 0) {
        ReleaseStart(true);
        return;
    }

    if (s.Paused.load() == 0) {
        waveOut_->Restart();
    }
    context_.SetEngineState(EnginePlaying);
}

void PlaybackPipeline::ReleaseStart(bool queued) {
    if (queued) {
        // The reset hands the queued buffers back as messages; they must not reach the engine
        // after the ring they point into is freed.
        waveOut_->Reset();
        context_.engineQueue.Discard(MmWomDone, reinterpret_cast<uintptr_t>(waveOut_.get()));
        context_.BuffersOutstanding = 0;
        context_.ring.UnprepareAll(*waveOut_);
    }
    CloseDevice();
    context_.SetEngineState(EnginePlayFailed);
}

void PlaybackPipeline::CloseDevice() {
    context_.ring.Free();
    waveOut_->Close();
    waveOut_.reset();
    codes_.clear();
    codes_.shrink_to_fit();
}

int32_t PlaybackPipeline::RefillBuffer(WaveHeader& header) {
    RecorderState& s = context_.state;
    std::lock_guard position(s.PositionLock);

    const uint32_t dataSize = s.DataChunk.size;
    const int64_t offset = RoundHalfUp(s.ReadPosition.load() * s.WaveFormat.blockAlign);
    if (offset >= dataSize) {
        return 0;
    }
    MmioFile* file = s.FileHandle;
    if (!file || file->Seek(s.DataChunk.dataOffset + offset, SeekOrigin::Start) < 0) {
        return -1;
    }
    const int64_t readable = dataSize - offset;
    const uint32_t bufferBytes = context_.ring.BufferBytes();

    int32_t got;
    if (context_.IsG711()) {
        const auto want = static_cast<int32_t>(std::min<int64_t>(bufferBytes / 2, readable));
        got = file->Read(codes_.data(), want);
        if (got <= 0) {
            return got;
        }
        auto* samples = reinterpret_cast<int16_t*>(header.data);
        if (s.WaveFormat.formatTag == WaveFormatALaw) {
            DecodeALaw(codes_.data(), samples, static_cast<size_t>(got));
        } else {
            DecodeMuLaw(codes_.data(), samples, static_cast<size_t>(got));
        }
        header.bufferLength = 2 * static_cast<uint32_t>(got);
    } else {
        const auto want = static_cast<int32_t>(std::min<int64_t>(bufferBytes, readable));
        got = file->Read(header.data, want);
        if (got <= 0) {
            return got;
        }
        header.bufferLength = static_cast<uint32_t>(got);
    }

    const int32_t frames = s.WaveFormat.blockAlign ? got / s.WaveFormat.blockAlign : 0;
    s.ReadPosition.store(s.ReadPosition.load() + frames);
    return frames;
}

void PlaybackPipeline::Requeue(WaveHeader& header) {
    header.flags &= ~WhdrDone;
    waveOut_->Write(header);
}

void PlaybackPipeline::PauseDevice() {
    waveOut_->Pause();
}

void PlaybackPipeline::ResetDevice() {
    waveOut_->Reset();
}

void PlaybackPipeline::EndPlayback() {
    context_.ring.UnprepareAll(*waveOut_);
    CloseDevice();
    context_.SetEngineState(EngineIdle);
    context_.Notify(NotifyPlaybackStopped);
}

}  // namespace kora486
