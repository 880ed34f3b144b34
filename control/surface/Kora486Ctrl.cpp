#include "surface/Kora486Ctrl.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <vector>

#include "engine/SampleFormat.h"
#include "files/DeleteSound.h"
#include "files/MpegFrame.h"
#include "files/Repack.h"
#include "files/WavFile.h"
#include "files/WaveFormatRecord.h"
#include "shell/DesktopMixer.h"
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
    // What the last stop posted dies with the window: no event fires from a control going away.
    notifyWindow_.Close();
    engine_.End();
}

size_t Kora486Ctrl::DispatchNotifications() {
    size_t handled = 0;
    while (const std::optional<Message> message = notifyWindow_.Peek()) {
        if (message->id == EngineNotifyMessage) {
            OnEngineNotify(static_cast<int32_t>(message->wParam));
        }
        ++handled;
    }
    return handled;
}

void Kora486Ctrl::OnEngineNotify(int32_t code) {
    // The state is read as it is now, not as it was when the engine posted.
    switch (code) {
        case NotifyRecordingStopped:
            FinishRecordingFile();
            state_.VoxPaused.store(0);
            if (events_) {
                events_->RecordingStopped(state_.StopError.load());
            }
            break;
        case NotifyPlaybackStopped:
            if (events_) {
                events_->PlaybackStopped(state_.StopError.load());
            }
            break;
        case NotifyLevels:
            // The meter's repaint is asked for here once the control draws one.
            if (events_) {
                // The event reports an overload for the buffer it happened in only; the meter's
                // segment stays lit while the hold lasts.
                events_->NewLevelValues(
                    state_.LeftLevel.load(), state_.LeftOverloadHold.load() >= 9 ? 1 : 0,
                    state_.RightLevel.load(), state_.RightOverloadHold.load() >= 9 ? 1 : 0);
            }
            break;
        case NotifyVoxState:
            if (state_.Status.load() == StatusRecording && events_) {
                events_->NewVoxState(state_.VoxPaused.load());
            }
            break;
        default:
            break;
    }
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
    FinishRecordingFile();
    state_.VoxPaused.store(0);
    state_.VoxQuietCount.store(0);
    insertRecording_ = state_.Insert.load() != 0;
    if (const ErrorCode result = engine_.StartRecording(); result != ErrNone) {
        return Fail(result);
    }
    recordingUnfinished_ = true;
    return ErrNone;
}

int16_t Kora486Ctrl::StartPlayback() {
    if (state_.Status.load() != StatusFileOpen) {
        return Fail(ErrWrongState);
    }
    FinishRecordingFile();
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
    recordingUnfinished_ = false;
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
    if (file_ && recordingUnfinished_ && state_.Status.load() == StatusFileOpen) {
        kora486::FinishRecordingFile(*file_, state_, dataOnly_ != 0);
        recordingUnfinished_ = false;
    }
}

int16_t Kora486Ctrl::DeleteSamples(int32_t nSamples) {
    if (state_.PlayOnly != 0) {
        return Fail(ErrPlayOnly);
    }
    if (state_.Status.load() != StatusFileOpen) {
        return Fail(ErrWrongState);
    }
    if (nSamples <= 0) {
        return ErrNone;
    }
    // The cut works from the sizes of the last recording, not the stale ones on disk.
    FinishRecordingFile();
    if (const ErrorCode result = DeleteFrames(*file_, state_, nSamples, dataOnly_ != 0);
        result != ErrNone) {
        return Fail(result);
    }
    return ErrNone;
}

int16_t Kora486Ctrl::DeleteTime(double seconds) {
    if (state_.Status.load() != StatusFileOpen) {
        return Fail(ErrWrongState);
    }
    const double frames = std::trunc(PositionRate() * seconds);
    // More frames than a count can hold cut to the end; not a number cuts nothing.
    const int32_t count = frames >= INT32_MAX ? INT32_MAX
                          : frames > 0.0      ? static_cast<int32_t>(frames)
                                              : 0;
    return DeleteSamples(count);
}

int16_t Kora486Ctrl::RePack() {
    if (state_.PlayOnly != 0) {
        return Fail(ErrPlayOnly);
    }
    if (state_.Status.load() != StatusFileOpen) {
        return Fail(ErrWrongState);
    }
    FinishRecordingFile();
    const int32_t position = state_.CurrentSamplePosition.load();
    const int16_t temporary = temporaryFile_;
    const std::optional<int64_t> length = RepackedLength(*file_, state_, dataOnly_ != 0);
    if (!length) {
        file_->Seek(state_.DataChunk.dataOffset + DataBytesOfFrames(state_, position),
                    SeekOrigin::Start);
        return ErrNone;
    }
    // The close writes the sizes and the fact value, so the copy is taken from a whole file; a
    // temporary file must survive it.
    const std::string name = filename_;
    temporaryFile_ = 0;
    CloseRecordingFile();
    temporaryFile_ = temporary;
    const bool replaced = ShortenByCopy(name, *length);
    if (const int16_t result = OpenExistingOrNewFile(name); result != ErrNone) {
        return result;
    }
    PutTemporaryFile(temporary);
    PutCurrentSamplePosition(position);
    if (!replaced) {
        return Fail(ErrOperationFailed);
    }
    return ErrNone;
}

HResult Kora486Ctrl::PutPaused(int16_t value) {
    state_.Paused.store(value);
    if (state_.Status.load() == StatusPlaying) {
        engine_.PausePlayback(value);
    }
    return S_OK;
}

HResult Kora486Ctrl::PutCurrentSamplePosition(int32_t value) {
    const int16_t status = state_.Status.load();
    const bool movable = status == StatusFileOpen || status == StatusPlaying ||
                         (status == StatusRecording && !insertRecording_);
    if (!movable) {
        return S_OK;
    }
    // Compressed files move in whole blocks; that rounding arrives with the codec manager.
    std::lock_guard position(state_.PositionLock);
    const int32_t end = state_.NumSamples.load();
    const int32_t target = value < 0 || value > end ? end : value;
    const int32_t moved = state_.CurrentSamplePosition.load() - target;
    state_.CurrentSamplePosition.store(target);
    state_.ReadPosition.store(std::max(state_.ReadPosition.load() - moved, 0.0));
    state_.BytePosition.store(-1);
    return S_OK;
}

double Kora486Ctrl::PositionRate() const {
    // A compressed file counts in its compressed format's rate, which arrives with the codec
    // manager; every file the control opens today counts in its own format's rate.
    return state_.WaveFormat.samplesPerSec;
}

double Kora486Ctrl::CurrentTimePosition() const {
    const int32_t frames = CurrentSamplePosition();
    const double rate = state_.WaveFormat.samplesPerSec;
    return frames <= 0 || rate == 0 ? 0.0 : frames / rate;
}

HResult Kora486Ctrl::PutCurrentTimePosition(double seconds) {
    if (!IsFileOpen()) {
        return S_OK;
    }
    const double frames = std::trunc(PositionRate() * seconds);
    // Out of range, or not a number, is past the end, as a negative frame count is.
    const int32_t target = frames >= 0.0 && frames <= INT32_MAX ? static_cast<int32_t>(frames) : -1;
    return PutCurrentSamplePosition(target);
}

void Kora486Ctrl::GetLevels(float& leftLevel, int16_t& leftOverload, float& rightLevel,
                            int16_t& rightOverload) const {
    const int16_t status = state_.Status.load();
    if (status != StatusRecording && status != StatusPlaying) {
        leftLevel = rightLevel = 0.0f;
        leftOverload = rightOverload = 0;
        return;
    }
    leftLevel = state_.LeftLevel.load();
    leftOverload = static_cast<int16_t>(state_.LeftOverload.load());
    if (numChannels_ == 1) {
        rightLevel = leftLevel;
        rightOverload = leftOverload;
    } else {
        rightLevel = state_.RightLevel.load();
        rightOverload = static_cast<int16_t>(state_.RightOverload.load());
    }
}

HResult Kora486Ctrl::PutBackColor(uint32_t color) {
    backColor_ = color;
    RequestRedraw();
    return S_OK;
}

HResult Kora486Ctrl::PutLowColor(uint32_t color) {
    lowColor_ = color;
    RequestRedraw();
    return S_OK;
}

HResult Kora486Ctrl::PutMidColor(uint32_t color) {
    midColor_ = color;
    RequestRedraw();
    return S_OK;
}

HResult Kora486Ctrl::PutHighColor(uint32_t color) {
    highColor_ = color;
    RequestRedraw();
    return S_OK;
}

HResult Kora486Ctrl::PutNumSegments(int16_t segments) {
    if (segments < 1 || segments > 20) {
        return ReportPropertyError("KORA486 NumSegments must be in the range 1 to 20");
    }
    numSegments_ = segments;
    RequestRedraw();
    return S_OK;
}

HResult Kora486Ctrl::PutOrientation(int16_t orientation) {
    if (orientation < 0 || orientation > 3) {
        return ReportPropertyError("KORA486 Orientation must be in the range 0 to 3");
    }
    orientation_ = orientation;
    RequestRedraw();
    return S_OK;
}

HResult Kora486Ctrl::PutStyle(int16_t style) {
    if (style != 0 && style != 1) {
        return ReportPropertyError("KORA486 Style must be 0 or 1");
    }
    style_ = style;
    RequestRedraw();
    return S_OK;
}

int32_t Kora486Ctrl::NRecordDevices() const {
    return static_cast<int32_t>(devices_.InputDeviceCount());
}

int32_t Kora486Ctrl::NPlaybackDevices() const {
    return static_cast<int32_t>(devices_.OutputDeviceCount());
}

std::string Kora486Ctrl::RecordDeviceName(int32_t device) const {
    std::string name;
    return devices_.InputDeviceName(device, name) == MmNoError ? name : std::string();
}

std::string Kora486Ctrl::PlaybackDeviceName(int32_t device) const {
    std::string name;
    return devices_.OutputDeviceName(device, name) == MmNoError ? name : std::string();
}

int16_t Kora486Ctrl::ShowMixer(int16_t mixerType) {
    return StartDesktopMixer(mixerType != 0) ? int16_t{ErrNone} : Fail(ErrOperationFailed);
}

HResult Kora486Ctrl::PutRecordLimit(int32_t value) {
    if (value < 0) {
        return ReportPropertyError("KORA486 RecordLimit must be zero or positive");
    }
    state_.RecordLimit.store(value);
    recordTimeLimit_ = static_cast<double>(value) / sampleRate_;
    return S_OK;
}

HResult Kora486Ctrl::PutPreToneDuration(float seconds) {
    if (!(seconds >= 0.0f)) {
        return ReportPropertyError("KORA486 PreToneDuration must be non-negative");
    }
    state_.PreToneDuration.store(seconds);
    return S_OK;
}

HResult Kora486Ctrl::PutPostToneDuration(float seconds) {
    if (!(seconds >= 0.0f)) {
        return ReportPropertyError("KORA486 PostToneDuration must be non-negative");
    }
    state_.PostToneDuration.store(seconds);
    return S_OK;
}

HResult Kora486Ctrl::PutInsert(int16_t value) {
    if (value != 0 && value != 1) {
        return ReportPropertyError("KORA486 Insert must be 0 or 1");
    }
    state_.Insert.store(value);
    return S_OK;
}

HResult Kora486Ctrl::PutRecordDevice(int32_t device) {
    if (device < -1) {
        return ReportPropertyError("KORA486 RecordDevice must be -1, 0 or positive");
    }
    state_.RecordDevice.store(device);
    return S_OK;
}

HResult Kora486Ctrl::PutPlaybackDevice(int32_t device) {
    if (device < -1) {
        return ReportPropertyError("KORA486 PlaybackDevice must be -1, 0 or positive");
    }
    state_.PlaybackDevice.store(device);
    return S_OK;
}

HResult Kora486Ctrl::PutVoxChannel(int16_t channel) {
    if (state_.Status.load() == StatusRecording) {
        return ReportPropertyError("VoxChannel cannot be changed during recording");
    }
    if (channel < 0 || channel > 3) {
        return ReportPropertyError("VoxChannel must be 0..3");
    }
    state_.VoxChannel.store(channel);
    return S_OK;
}

HResult Kora486Ctrl::PutVoxStartLevel(float level) {
    if (!(level <= 0.0f)) {
        return ReportPropertyError("VoxStartLevel must be 0 or negative");
    }
    state_.VoxStartLevel.store(level);
    return S_OK;
}

HResult Kora486Ctrl::PutVoxStopLevel(float level) {
    if (!(level <= 0.0f)) {
        return ReportPropertyError("VoxStopLevel must be 0 or negative");
    }
    state_.VoxStopLevel.store(level);
    return S_OK;
}

HResult Kora486Ctrl::PutVoxTime(int16_t tenths) {
    if (tenths < 0) {
        return ReportPropertyError("VoxTime must be 0 or positive");
    }
    state_.VoxTime.store(tenths);
    return S_OK;
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
    const double rate = PositionRate();
    return frames < 1 || rate == 0 ? 0.0 : frames / rate;
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
    RequestRedraw();  // the meter draws one bar or two
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
