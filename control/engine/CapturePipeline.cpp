#include "engine/CapturePipeline.h"

#include <unistd.h>

#include <algorithm>

#include "engine/G711.h"
#include "engine/SampleFormat.h"
#include "engine/ToneGenerator.h"
#include "files/InsertMerge.h"
#include "shell/TemporaryFiles.h"

namespace kora486 {

namespace {

// A tone is rendered and written in pieces of this many frames, so a long one takes bounded
// memory.
constexpr int32_t TonePieceFrames = 48000;

}  // namespace

void CapturePipeline::BeginRecording() {
    RecorderState& s = context_.state;
    s.DeviceFormat = BuildDeviceFormat(s.WaveFormat);
    s.BytePosition.store(-1);

    // Compressed files resume their encode stream and align MP3 starts here, through the codec
    // manager; until it exists a compressed start fails instead of writing the file wrongly.
    if (s.AcmActive != 0) {
        context_.SetEngineState(EngineRecordFailed);
        return;
    }

    insert_ = s.Insert.load() != 0;
    if (insert_ && !OpenInsertFile()) {
        context_.SetEngineState(EngineRecordFailed);
        return;
    }

    if (context_.devices.OpenInput(s.RecordDevice.load(), s.DeviceFormat, context_.engineQueue,
                                   waveIn_) != MmNoError) {
        waveIn_.reset();
        CloseInsertFile();
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

bool CapturePipeline::OpenInsertFile() {
    const std::optional<std::string> name = CreateUniqueTemporaryFile("TVM");
    if (!name) {
        return false;
    }
    insertFileName_ = *name;
    insertFile_ = RiffFile::Open(insertFileName_, FileOpenMode::Create);
    if (!insertFile_) {
        unlink(insertFileName_.c_str());
        insertFileName_.clear();
        return false;
    }
    insertStart_ = context_.state.CurrentSamplePosition.load();
    return true;
}

void CapturePipeline::CloseInsertFile() {
    if (insertFile_) {
        insertFile_->Close();
        insertFile_.reset();
        unlink(insertFileName_.c_str());
        insertFileName_.clear();
    }
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
    CloseInsertFile();
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
        // A pause ends the stretch of sound; the next buffer written opens a new one.
        if (s.ToneDue == 0) {
            WriteTone(s.PostToneDuration.load(), true);
            s.ToneDue = 1;
        }
        return;
    }

    const int32_t limit = s.RecordLimit.load();
    if (limit > 0 && s.RecordedSamples.load() >= limit) {
        StopWithError(ErrRecordLimit);
        return;
    }

    std::unique_lock position(s.PositionLock);
    // The file's sizes must stay what their 32 bits can say: a buffer that would not fit, with
    // the tone that would open its stretch, ends the recording as the record limit does.
    const int64_t toneFrames =
        s.ToneDue == 1 ? ToneFrames(s.PreToneDuration.load(), s.WaveFormat.samplesPerSec) : 0;
    if (int64_t{frames} + toneFrames > RoomFrames()) {
        position.unlock();
        StopWithError(ErrRecordLimit);
        return;
    }
    if (s.ToneDue == 1) {
        position.unlock();
        WriteTone(s.PreToneDuration.load(), false);
        s.ToneDue = 0;
        position.lock();
    }

    SeekForWrite(WritePosition());
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
        s.BytePosition.fetch_add(m);
        written = w > 0 ? 2 * int64_t{w} : w;
    } else {
        written = WriteSound(header.data, static_cast<int32_t>(n));
        s.BytePosition.fetch_add(n);
    }
    s.DataChunk.flags |= ChunkDirty;
    s.RiffChunk.flags |= ChunkDirty;

    if (written == n) {
        s.RecordedSamples.fetch_add(static_cast<int32_t>(frames));
        AdvanceAfterWrite(static_cast<int32_t>(frames));
        return;
    }
    position.unlock();
    StopWithError(ErrRecordWrite);
}

void CapturePipeline::WriteTone(double seconds, bool final) {
    // Compressed files feed the tone through the encoder and end its stream with the final one;
    // that path arrives with the codec manager, and compressed recordings do not start before.
    (void) final;
    RecorderState& s = context_.state;
    int32_t frames = ToneFrames(seconds, s.WaveFormat.samplesPerSec);
    if (frames <= 0) {
        return;
    }

    std::lock_guard position(s.PositionLock);
    // A tone is cut short rather than let the file's sizes overflow.
    frames = static_cast<int32_t>(std::min<int64_t>(frames, RoomFrames()));
    if (frames <= 0) {
        return;
    }
    SeekForWrite(WritePosition());
    for (int32_t done = 0; done < frames;) {
        const int32_t piece = std::min(frames - done, TonePieceFrames);
        RenderTone(s.WaveFormat, done, piece, tone_);
        // A tone that fails to write is passed over; the recording goes on.
        WriteSound(tone_.data(), static_cast<int32_t>(tone_.size()));
        done += piece;
    }
    s.DataChunk.flags |= ChunkDirty;
    s.RiffChunk.flags |= ChunkDirty;
    AdvanceAfterWrite(frames);
    s.BytePosition.store(-1);
}

int64_t CapturePipeline::WritePosition() {
    RecorderState& s = context_.state;
    if (s.BytePosition.load() == -1) {
        const auto arithmetic = FrameArithmetic::Uncompressed(s.WaveFormat);
        s.BytePosition.store(s.DataChunk.dataOffset +
                             arithmetic.FramesToBytes(s.CurrentSamplePosition.load()));
    }
    return s.BytePosition.load();
}

int64_t CapturePipeline::RoomFrames() const {
    const RecorderState& s = context_.state;
    const uint16_t blockAlign = s.WaveFormat.blockAlign;
    if (blockAlign == 0) {
        return 0;
    }
    // The RIFF size counts everything after its own header: the chunks before the data, the
    // data with its pad byte, and the chunks kept after it.
    const int64_t riffRoom = s.MaxRiffSize + 8 - s.DataChunk.dataOffset - 1 -
                             static_cast<int64_t>(s.TrailingChunks.size());
    const int64_t dataBytes = std::min<int64_t>(riffRoom, UINT32_MAX);
    const int64_t maxFrames = std::min<int64_t>(s.MaxFrames, dataBytes / blockAlign);
    // An insert adds to the sound; an overwrite grows it only when it runs past the end.
    const int64_t end = insert_ ? s.NumSamples.load() : std::max(s.CurrentSamplePosition.load(), 0);
    return std::max<int64_t>(maxFrames - end, 0);
}

void CapturePipeline::AdvanceAfterWrite(int32_t frames) {
    RecorderState& s = context_.state;
    const int32_t position = s.CurrentSamplePosition.fetch_add(frames) + frames;
    if (insert_) {
        s.NumSamples.fetch_add(frames);
    } else {
        s.NumSamples.store(std::max(s.NumSamples.load(), position));
    }
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
    RecorderState& s = context_.state;
    context_.ring.UnprepareAll(*waveIn_);
    CloseDevice();
    if (s.ToneDue == 0) {
        WriteTone(s.PostToneDuration.load(), true);
    }
    tone_.clear();
    tone_.shrink_to_fit();
    if (insert_) {
        MergeInsertFile();
    }
    insert_ = false;
    context_.SetEngineState(EngineIdle);
    context_.Notify(NotifyRecordingStopped);
}

void CapturePipeline::MergeInsertFile() {
    RecorderState& s = context_.state;
    const int64_t bytes = insertFile_->Seek(0, SeekOrigin::End);
    if (bytes > 0 && s.FileHandle != nullptr) {
        const auto arithmetic = FrameArithmetic::Uncompressed(s.WaveFormat);
        const int64_t insertOffset =
            s.DataChunk.dataOffset + arithmetic.FramesToBytes(insertStart_);
        const int64_t oldEnd = s.DataChunk.dataOffset + s.DataChunk.size;
        insertFile_->Flush();
        switch (
            kora486::MergeInsertFile(*s.FileHandle, *insertFile_, bytes, insertOffset, oldEnd)) {
            case MergeOutcome::Merged:
                break;
            case MergeOutcome::NoRoom:
                // The file could not grow: it keeps its old sound, and the recording reports
                // the failed write with its sizes back where they were.
                s.NumSamples.fetch_sub(s.CurrentSamplePosition.load() - insertStart_);
                s.CurrentSamplePosition.store(insertStart_);
                RecordStopError(s, ErrRecordWrite);
                break;
            case MergeOutcome::Failed:
                RecordStopError(s, ErrRecordWrite);
                break;
        }
    }
    CloseInsertFile();
}

int64_t CapturePipeline::SeekForWrite(int64_t offset) {
    if (insert_) {
        return 0;
    }
    MmioFile* file = context_.state.FileHandle;
    return file ? file->Seek(offset, SeekOrigin::Start) : -1;
}

int32_t CapturePipeline::WriteSound(const void* bytes, int32_t count) {
    if (insert_) {
        return insertFile_->Write(bytes, count) == count ? count : -1;
    }
    MmioFile* file = context_.state.FileHandle;
    return file ? file->Write(bytes, count) : -1;
}

}  // namespace kora486
