#include "engine/CapturePipeline.h"

#include <algorithm>

#include "engine/G711.h"
#include "engine/SampleFormat.h"

namespace kora486 {

void CapturePipeline::BeginRecording() {
    RecorderState& s = context_.state;
    s.DeviceFormat = BuildDeviceFormat(s.WaveFormat);
    s.BytePosition.store(-1);

    // Compressed files (AcmActive) resume their encode stream and align MP3 starts here; insert
    // mode opens its temporary file here. Both arrive with the capture work on top of this ring;
    // until then a start that needs them fails instead of writing the file the wrong way.
    if (s.AcmActive != 0 || s.Insert.load() != 0) {
        context_.SetEngineState(EngineRecordFailed);
        return;
    }

    if (context_.devices.OpenInput(s.RecordDevice.load(), s.DeviceFormat, context_.engineQueue,
                                   waveIn_) != MmNoError) {
        waveIn_.reset();
        context_.SetEngineState(EngineRecordFailed);
        return;
    }

    BufferRing& ring = context_.ring;
    ring.Allocate(BufferRing::BufferBytesFor(s.DeviceFormat));
    if (ring.PrepareAll(*waveIn_) != MmNoError) {
        ReleaseStart(false);
        return;
    }
    if (context_.IsG711()) {
        codes_.resize(ring.BufferBytes() / 2);
    }
    for (int i = 0; i < RingBufferCount; ++i) {
        waveIn_->AddBuffer(ring[i]);
    }
    context_.BuffersOutstanding = RingBufferCount;
    s.ToneDue = 1;
    if (waveIn_->Start() != MmNoError) {
        // A device that takes the buffers but will not run would never give them back.
        ReleaseStart(true);
        return;
    }
    context_.SetEngineState(EngineRecording);
}

void CapturePipeline::ReleaseStart(bool queued) {
    if (queued) {
        // The reset hands the queued buffers back as messages; they must not reach the engine
        // after the ring they point into is freed.
        waveIn_->Reset();
        context_.engineQueue.Discard(MmWimData, reinterpret_cast<uintptr_t>(waveIn_.get()));
        context_.BuffersOutstanding = 0;
        context_.ring.UnprepareAll(*waveIn_);
    }
    CloseDevice();
    context_.SetEngineState(EngineRecordFailed);
}

void CapturePipeline::CloseDevice() {
    context_.ring.Free();
    waveIn_->Close();
    waveIn_.reset();
    codes_.clear();
    codes_.shrink_to_fit();
}

void CapturePipeline::WriteRecordedBuffer(const WaveHeader& header, uint32_t frames) {
    RecorderState& s = context_.state;
    const uint32_t n = header.bytesRecorded;

    if (s.Paused.load() != 0 || s.VoxPaused.load() != 0) {
        // A pause ends the stretch of sound: the post-record tone goes here once the tone
        // generator writes tones, and the next buffer written opens a new stretch.
        if (s.ToneDue == 0) {
            s.ToneDue = 1;
        }
        return;
    }

    const int32_t limit = s.RecordLimit.load();
    if (limit > 0 && s.RecordedSamples.load() >= limit) {
        StopWithError(ErrRecordLimit);
        return;
    }

    if (s.ToneDue == 1) {
        // The pre-record tone of the stretch goes here once the tone generator writes tones.
        s.ToneDue = 0;
    }

    std::lock_guard position(s.PositionLock);
    if (s.BytePosition.load() == -1) {
        const auto arithmetic = FrameArithmetic::Uncompressed(s.WaveFormat);
        s.BytePosition.store(static_cast<int32_t>(
            s.DataChunk.dataOffset + arithmetic.FramesToBytes(s.CurrentSamplePosition.load())));
    }
    SeekForWrite(s.BytePosition.load());

    int64_t written;
    if (context_.IsG711()) {
        const uint32_t m = n / 2;
        const auto* samples = reinterpret_cast<const int16_t*>(header.data);
        if (s.WaveFormat.formatTag == WaveFormatALaw) {
            EncodeALaw(samples, codes_.data(), m);
        } else {
            EncodeMuLaw(samples, codes_.data(), m);
        }
        const int32_t w = WriteSound(codes_.data(), static_cast<int32_t>(m));
        s.BytePosition.fetch_add(static_cast<int32_t>(m));
        written = w > 0 ? 2 * int64_t{w} : w;
    } else {
        written = WriteSound(header.data, static_cast<int32_t>(n));
        s.BytePosition.fetch_add(static_cast<int32_t>(n));
    }
    s.DataChunk.flags |= ChunkDirty;
    s.RiffChunk.flags |= ChunkDirty;

    if (written == n) {
        s.RecordedSamples.fetch_add(static_cast<int32_t>(frames));
        AdvanceAfterWrite(static_cast<int32_t>(frames));
    } else {
        StopWithError(ErrRecordWrite);
    }
}

void CapturePipeline::AdvanceAfterWrite(int32_t frames) {
    RecorderState& s = context_.state;
    const int32_t position = s.CurrentSamplePosition.fetch_add(frames) + frames;
    // Overwrite mode grows the file only when the write runs past its old end.
    s.NumSamples.store(std::max(s.NumSamples.load(), position));
}

void CapturePipeline::StopWithError(ErrorCode code) {
    ResetDevice();
    context_.SetEngineState(EngineStopping);
    RecordStopError(context_.state, code);
}

void CapturePipeline::Requeue(WaveHeader& header) {
    header.flags &= ~WhdrDone;
    waveIn_->AddBuffer(header);
}

void CapturePipeline::ResetDevice() {
    if (waveIn_) {
        waveIn_->Reset();
    }
}

void CapturePipeline::EndRecording() {
    context_.ring.UnprepareAll(*waveIn_);
    CloseDevice();
    context_.SetEngineState(EngineIdle);
    context_.Notify(NotifyRecordingStopped);
}

int64_t CapturePipeline::SeekForWrite(int64_t offset) {
    MmioFile* file = context_.state.FileHandle;
    return file ? file->Seek(offset, SeekOrigin::Start) : -1;
}

int32_t CapturePipeline::WriteSound(const void* bytes, int32_t count) {
    MmioFile* file = context_.state.FileHandle;
    return file ? file->Write(bytes, count) : -1;
}

}  // namespace kora486
