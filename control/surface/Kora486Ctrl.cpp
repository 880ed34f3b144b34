#include "surface/Kora486Ctrl.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <vector>

#include "engine/SampleFormat.h"
#include "files/MpegFrame.h"
#include "files/WavFile.h"
#include "files/WaveFormatRecord.h"
#include "shell/TemporaryFiles.h"

namespace kora486 {

namespace {

// Data-only MPEG files are recognised by a frame header within their first bytes.
constexpr int32_t MpegSearchBytes = 2000;

// A compressed format is adopted through the codec manager, which also sets NumChannels and
// SampleRate from it; without a codec manager no compressed format can be used.
ErrorCode AdoptAcmFormat(std::span<const uint8_t> format) {
    (void)format;
    return ErrFormatUnusable;
}

// Compressed files need the conversion streams of the codec manager and an AcmFormat set by the
// host; with neither, no compressed file can be opened.
ErrorCode SetUpConversion() {
    return ErrNoAcmFormat;
}

}  // namespace

Kora486Ctrl::Kora486Ctrl(SoundDeviceService& devices)
    : devices_(devices), engine_(state_, devices, notifyWindow_) {
    hasEngine_ = engine_.Start();
}

Kora486Ctrl::~Kora486Ctrl() {
    Reset();
    engine_.End();
}

bool Kora486Ctrl::IsFileOpen() const {
    const int16_t status = state_.Status.load();
    return status != StatusNotInitialised && status != StatusReady;
}

int16_t Kora486Ctrl::Fail(ErrorCode code) {
    state_.LastError.store(code);
    return code;
}

HResult Kora486Ctrl::ReportPropertyError(const std::string& description) {
    propertyError_ = description;
    return DISP_E_EXCEPTION;
}

int16_t Kora486Ctrl::LastError() {
    return state_.LastError.exchange(ErrNone);
}

int16_t Kora486Ctrl::Reset() {
    if (!hasEngine_) {
        return Fail(ErrNoEngine);
    }
    switch (state_.Status.load()) {
        case StatusNotInitialised:
            state_.LeftLevel.store(SilenceLevel);
            state_.RightLevel.store(SilenceLevel);
            state_.LeftOverload.store(0);
            state_.RightOverload.store(0);
            Publish(state_.Status, static_cast<int16_t>(StatusReady));
            [[fallthrough]];
        case StatusReady:
            return ProbeRecordFormat();
        case StatusFileOpen:
            CloseRecordingFile();
            return ErrNone;
        default:
            Stop();
            Publish(state_.Status, static_cast<int16_t>(StatusFileOpen));
            Reset();
            return ErrNone;
    }
}

int16_t Kora486Ctrl::ProbeRecordFormat() {
    if (bitsPerSample_ == FormatCompressed) {
        return ErrNone;
    }
    // G.711 files are recorded from 16-bit devices.
    const uint16_t bits = (bitsPerSample_ == FormatALaw || bitsPerSample_ == FormatMuLaw)
                              ? 16
                              : static_cast<uint16_t>(bitsPerSample_);
    WaveFormatEx probe;
    probe.formatTag = WaveFormatPcm;
    probe.channels = static_cast<uint16_t>(numChannels_);
    probe.samplesPerSec = static_cast<uint32_t>(sampleRate_);
    probe.blockAlign = static_cast<uint16_t>(probe.channels * (bits / 8));
    probe.avgBytesPerSec = probe.samplesPerSec * probe.blockAlign;
    probe.bitsPerSample = bits;
    if (devices_.QueryInputFormat(WaveMapper, probe) != MmNoError) {
        return Fail(ErrDeviceFormat);
    }
    return ErrNone;
}

void Kora486Ctrl::Stop() {
    if (state_.Status.load() == StatusRecording) {
        engine_.StopRecording();
    }
    if (state_.Status.load() == StatusPlaying) {
        engine_.StopPlayback();
    }
}

int16_t Kora486Ctrl::StartRecording() {
    if (state_.PlayOnly != 0) {
        return Fail(ErrPlayOnly);
    }
    if (state_.Status.load() != StatusFileOpen) {
        return Fail(ErrWrongState);
    }
    const int32_t limit = state_.RecordLimit.load();
    if (limit > 0 && state_.RecordedSamples.load() >= limit) {
        return Fail(ErrRecordLimit);
    }
    state_.VoxPaused.store(0);
    state_.VoxQuietCount.store(0);
    if (const ErrorCode result = engine_.StartRecording(); result != ErrNone) {
        return Fail(result);
    }
    return ErrNone;
}

int16_t Kora486Ctrl::StartPlayback() {
    if (state_.Status.load() != StatusFileOpen) {
        return Fail(ErrWrongState);
    }
    if (const ErrorCode result = engine_.StartPlayback(); result != ErrNone) {
        return Fail(result);
    }
    return ErrNone;
}

int16_t Kora486Ctrl::OpenNewFile(const std::string& filename) {
    if (state_.PlayOnly != 0) {
        return Fail(ErrPlayOnly);
    }
    if (const int16_t result = Reset(); result != ErrNone) {
        return result;
    }
    return CreateNewFile(filename);
}

int16_t Kora486Ctrl::CreateNewFile(const std::string& filename) {
    if (bitsPerSample_ == FormatCompressed) {
        return Fail(SetUpConversion());
    }
    file_ = RiffFile::Open(filename, FileOpenMode::Create);
    if (!file_) {
        return Fail(ErrFileOpen);
    }
    state_.WaveFormat =
        BuildWaveFormat(static_cast<SampleFormatCode>(bitsPerSample_),
                        static_cast<uint16_t>(numChannels_), static_cast<uint32_t>(sampleRate_));
    if (dataOnly_ == 0) {
        if (WriteWavHeader(*file_, state_, EncodeWaveFormat(state_.WaveFormat)) != ErrNone ||
            file_->Flush() != 0) {
            // The header written so far stays on disk; the file is not kept open.
            DiscardFile();
            return Fail(ErrFileWrite);
        }
    } else {
        state_.DataChunk = {};
        state_.RiffChunk = {};
        state_.TrailingChunks.clear();
        state_.HasFactChunk = state_.WaveFormat.formatTag == WaveFormatPcm ? 0 : 1;
    }
    state_.FileHandle = file_.get();
    filename_ = filename;
    temporaryFile_ = 0;
    state_.NumSamples.store(0);
    state_.CurrentSamplePosition.store(0);
    state_.RecordedSamples.store(0);
    Publish(state_.Status, static_cast<int16_t>(StatusFileOpen));
    return ErrNone;
}

int16_t Kora486Ctrl::OpenTemporaryFile() {
    if (state_.PlayOnly != 0) {
        return Fail(ErrPlayOnly);
    }
    const std::optional<std::string> name = CreateUniqueTemporaryFile("TVM");
    if (!name) {
        return Fail(ErrFileOpen);
    }
    const int16_t result = OpenNewFile(*name);
    if (result == ErrNone) {
        temporaryFile_ = 1;
    } else {
        // Nobody knows the name of a temporary file that failed to open; it would be left over.
        unlink(name->c_str());
    }
    return result;
}

int16_t Kora486Ctrl::OpenExistingOrNewFile(const std::string& filename) {
    if (const int16_t result = Reset(); result != ErrNone) {
        return result;
    }
    if (!RiffFile::Exists(filename)) {
        if (state_.PlayOnly != 0) {
            return Fail(ErrPlayOnly);
        }
        return OpenNewFile(filename);
    }
    file_ = RiffFile::Open(filename,
                           state_.PlayOnly != 0 ? FileOpenMode::Read : FileOpenMode::ReadWrite);
    if (!file_) {
        return Fail(ErrFileOpen);
    }
    state_.FileHandle = file_.get();
    if (const int16_t result = OpenExistingFile(); result != ErrNone) {
        DiscardFile();
        return Fail(static_cast<ErrorCode>(result));
    }
    filename_ = filename;
    temporaryFile_ = 0;
    state_.RecordedSamples.store(0);
    state_.CurrentSamplePosition.store(state_.NumSamples.load());
    ApplyRecordTimeLimit();
    Publish(state_.Status, static_cast<int16_t>(StatusFileOpen));
    return ErrNone;
}

int16_t Kora486Ctrl::OpenExistingFile() {
    if (dataOnly_ != 0) {
        return OpenDataOnlyFile();
    }
    WavHeader header;
    if (const ErrorCode result = ReadWavHeader(*file_, state_, header); result != ErrNone) {
        return result;
    }
    const WaveFormatEx format = DecodeWaveFormat(header.formatBody);
    switch (format.formatTag) {
        case WaveFormatPcm:
        case WaveFormatALaw:
        case WaveFormatMuLaw: {
            // The engine moves 8- and 16-bit PCM and 8-bit G.711 codes; a body too short to
            // say its sample size describes neither.
            const bool pcm = format.formatTag == WaveFormatPcm;
            const bool usable = header.formatBody.size() >= 16 &&
                                (pcm ? (format.bitsPerSample == 8 || format.bitsPerSample == 16)
                                     : format.bitsPerSample == 8);
            if (!usable) {
                return ErrFormatUnusable;
            }
            if (const ErrorCode result = AcceptUncompressedFormat(header, state_);
                result != ErrNone) {
                return result;
            }
            const SampleFormatCode g711 =
                format.formatTag == WaveFormatALaw ? FormatALaw : FormatMuLaw;
            bitsPerSample_ = pcm ? static_cast<int16_t>(format.bitsPerSample) : int16_t{g711};
            numChannels_ = static_cast<int16_t>(format.channels);
            sampleRate_ = static_cast<int32_t>(format.samplesPerSec);
            return ErrNone;
        }
        default:
            if (!IsCompleteFormatBody(header.formatBody)) {
                return ErrFormatUnusable;
            }
            if (const ErrorCode result = AdoptAcmFormat(header.formatBody); result != ErrNone) {
                return result;
            }
            return SetUpConversion();
    }
}

ErrorCode Kora486Ctrl::OpenDataOnlyFile() {
    MmioFile& file = *file_;
    const int64_t length = file.Seek(0, SeekOrigin::End);
    if (length < 0) {
        return ErrFileOpen;
    }
    if (dataOnly_ == 2) {
        std::vector<uint8_t> head(MpegSearchBytes);
        if (file.Seek(0, SeekOrigin::Start) != 0) {
            return ErrFileOpen;
        }
        const int32_t got = file.Read(head.data(), MpegSearchBytes);
        if (got < 0) {
            return ErrFileOpen;
        }
        file.Seek(0, SeekOrigin::Start);
        const MpegFrameInfo frame = FindMpegFrame(head.data(), static_cast<size_t>(got));
        if (frame.version == 1 || frame.layer != 1) {
            return ErrFormatUnusable;
        }
        if (const ErrorCode result = AdoptAcmFormat(BuildMpegLayer3Format(frame));
            result != ErrNone) {
            return result;
        }
        bitsPerSample_ = FormatCompressed;
    }
    if (bitsPerSample_ == FormatCompressed) {
        return SetUpConversion();
    }
    // PCM and G.711 data-only files are described by the format properties alone.
    state_.WaveFormat =
        BuildWaveFormat(static_cast<SampleFormatCode>(bitsPerSample_),
                        static_cast<uint16_t>(numChannels_), static_cast<uint32_t>(sampleRate_));
    const int64_t usable = std::min<int64_t>(length, UINT32_MAX);
    state_.RiffChunk = {};
    state_.TrailingChunks.clear();
    state_.DataChunk = {};
    state_.DataChunk.size = static_cast<uint32_t>(usable);
    state_.NumSamples.store(
        static_cast<int32_t>(std::min<int64_t>(usable / state_.WaveFormat.blockAlign, INT32_MAX)));
    return ErrNone;
}

void Kora486Ctrl::CloseRecordingFile() {
    if (dataOnly_ == 0) {
        FixUpWavFileForClose(*file_, state_, state_.PlayOnly != 0);
    }
    file_->Close();
    file_.reset();
    state_.FileHandle = nullptr;
    if (temporaryFile_ != 0) {
        unlink(filename_.c_str());
    }
    filename_.clear();
    state_.NumSamples.store(0);
    state_.CurrentSamplePosition.store(0);
    Publish(state_.Status, static_cast<int16_t>(StatusReady));
}

void Kora486Ctrl::DiscardFile() {
    file_->Close();
    file_.reset();
    state_.FileHandle = nullptr;
}

void Kora486Ctrl::FinishRecordingFile() {
    // A Reset that stopped the recording has closed the file before this runs.
    if (file_) {
        kora486::FinishRecordingFile(*file_, state_, dataOnly_ != 0);
    }
}

HResult Kora486Ctrl::PutTemporaryFile(int16_t value) {
    temporaryFile_ = value;
    return S_OK;
}

int32_t Kora486Ctrl::NumSamples() const {
    return IsFileOpen() ? state_.NumSamples.load() : 0;
}

double Kora486Ctrl::TotalTime() const {
    const int32_t frames = NumSamples();
    const uint32_t rate = state_.WaveFormat.samplesPerSec;
    return frames < 1 || rate == 0 ? 0.0 : static_cast<double>(frames) / rate;
}

HResult Kora486Ctrl::PutPlayOnly(int16_t value) {
    if (IsFileOpen()) {
        return ReportPropertyError("KORA486 cannot change PlayOnly whilst a file is open");
    }
    state_.PlayOnly = value != 0 ? 1 : 0;
    return S_OK;
}

HResult Kora486Ctrl::PutDataOnly(int16_t value) {
    if (IsFileOpen()) {
        return ReportPropertyError("KORA486 cannot change DataOnly whilst a file is open");
    }
    if (value < 0 || value > 2) {
        return ReportPropertyError("DataOnly must be 0, 1 or 2");
    }
    dataOnly_ = value;
    return S_OK;
}

HResult Kora486Ctrl::PutSampleRate(int32_t value) {
    if (IsFileOpen()) {
        return ReportPropertyError("KORA486 cannot change SampleRate whilst a file is open");
    }
    if (!IsAcceptedSampleRate(value)) {
        return ReportPropertyError(
            "KORA486 SampleRate must be one of 192000, 96000, 88200, 64000, 48000, 44100, "
            "32000, 22050, 16000, 11025, 8000, 6000");
    }
    sampleRate_ = value;
    ApplyRecordTimeLimit();
    return S_OK;
}

HResult Kora486Ctrl::PutBitsPerSample(int16_t value) {
    if (IsFileOpen()) {
        return ReportPropertyError("KORA486 cannot change BitsPerSample whilst a file is open");
    }
    if (!IsSampleFormatCode(value)) {
        return ReportPropertyError("KORA486 BitsPerSample must 8, 16 or a special format code");
    }
    bitsPerSample_ = value;
    return S_OK;
}

HResult Kora486Ctrl::PutNumChannels(int16_t value) {
    if (IsFileOpen()) {
        return ReportPropertyError("KORA486 cannot change NumChannels whilst a file is open");
    }
    if (value != 1 && value != 2) {
        return ReportPropertyError("KORA486 NumChannels must be 1 or 2");
    }
    numChannels_ = value;
    return S_OK;
}

HResult Kora486Ctrl::PutRecordTimeLimit(double value) {
    if (!(value >= 0.0)) {
        return ReportPropertyError("KORA486 RecordTimeLimit must be zero or positive");
    }
    recordTimeLimit_ = value;
    ApplyRecordTimeLimit();
    return S_OK;
}

void Kora486Ctrl::ApplyRecordTimeLimit() {
    // A limit too long to count in frames is no limit a recording can reach before the file is
    // full; it is held at the largest frame count.
    const double frames = std::trunc(recordTimeLimit_ * sampleRate_ + 0.5);
    state_.RecordLimit.store(frames >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(frames));
}

}  // namespace kora486
