#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "com/HResult.h"
#include "engine/Engine.h"
#include "engine/RecorderState.h"
#include "files/RiffFile.h"
#include "messaging/MessageQueue.h"
#include "platform/SoundDeviceService.h"
#include "surface/ControlEvents.h"

namespace kora486 {

/// The recording control: one recording file, its own engine thread and notification window.
///
/// Every member runs on the host's thread. Methods answer an ErrorCode and keep a non-zero one in
/// LastError; property writes that break a rule answer DISP_E_EXCEPTION through
/// ReportPropertyError and change nothing.
class Kora486Ctrl {
public:
    /// Sets every field to its initial value, then starts the engine and waits until it is idle.
    explicit Kora486Ctrl(SoundDeviceService& devices);
    /// Resets (stopping any run and closing the file), then ends the engine.
    ~Kora486Ctrl();
    Kora486Ctrl(const Kora486Ctrl&) = delete;
    Kora486Ctrl& operator=(const Kora486Ctrl&) = delete;

    // State and files.
    int16_t Status() const { return state_.Status.load(); }
    int16_t Reset();
    void Stop();
    int16_t OpenNewFile(const std::string& filename);
    int16_t OpenTemporaryFile();
    int16_t OpenExistingOrNewFile(const std::string& filename);
    std::string Filename() const { return filename_; }
    int16_t TemporaryFile() const { return temporaryFile_; }
    HResult PutTemporaryFile(int16_t value);
    int32_t NumSamples() const;
    double TotalTime() const;
    int16_t PlayOnly() const { return state_.PlayOnly; }
    HResult PutPlayOnly(int16_t value);
    int16_t DataOnly() const { return dataOnly_; }
    HResult PutDataOnly(int16_t value);

    // Transport.
    int16_t StartRecording();
    int16_t StartPlayback();
    int16_t Paused() const { return state_.Paused.load(); }
    HResult PutPaused(int16_t value);
    int32_t CurrentSamplePosition() const { return state_.CurrentSamplePosition.load(); }
    /// Moves the position: past the end or negative means the end. Ignored with no file open,
    /// and while an insert recording runs. A playback goes on from the new place after the
    /// sound already queued; an overwrite recording writes its next buffer there.
    HResult PutCurrentSamplePosition(int32_t value);
    double CurrentTimePosition() const;
    HResult PutCurrentTimePosition(double seconds);
    /// The levels in dB and overload flags while recording or playing; all 0 otherwise. A mono
    /// control reports its one channel on both sides.
    void GetLevels(float& leftLevel, int16_t& leftOverload, float& rightLevel,
                   int16_t& rightOverload) const;

    /// Answers LastError and clears it.
    int16_t LastError();

    // Editing. Only on an open, idle file (Status 2); refused with ErrPlayOnly first, then
    // ErrWrongState.
    /// Cuts nSamples frames out at the current position, which stays; the file keeps its length
    /// on disk until RePack. 0 or less changes nothing. ErrOperationFailed when the file could
    /// not be written.
    int16_t DeleteSamples(int32_t nSamples);
    /// DeleteSamples of the frames in that many seconds (truncated); ErrWrongState is tested
    /// before ErrPlayOnly.
    int16_t DeleteTime(double seconds);
    /// Shrinks the file on disk to what it uses, through a copy renamed over it, and reopens it
    /// with its position and TemporaryFile as they were. ErrOperationFailed when the copy failed
    /// (the old file is open again, unchanged); an error of the reopen leaves no file open.
    int16_t RePack();

    // Preferred format.
    int32_t SampleRate() const { return sampleRate_; }
    HResult PutSampleRate(int32_t value);
    int16_t BitsPerSample() const { return bitsPerSample_; }
    HResult PutBitsPerSample(int16_t value);
    int16_t NumChannels() const { return numChannels_; }
    HResult PutNumChannels(int16_t value);
    double RecordTimeLimit() const { return recordTimeLimit_; }
    HResult PutRecordTimeLimit(double value);
    int32_t RecordLimit() const { return state_.RecordLimit.load(); }
    HResult PutRecordLimit(int32_t value);

    // Appearance of the meter.
    uint32_t BackColor() const { return backColor_; }
    HResult PutBackColor(uint32_t color);
    uint32_t LowColor() const { return lowColor_; }
    HResult PutLowColor(uint32_t color);
    uint32_t MidColor() const { return midColor_; }
    HResult PutMidColor(uint32_t color);
    uint32_t HighColor() const { return highColor_; }
    HResult PutHighColor(uint32_t color);
    int16_t NumSegments() const { return numSegments_; }
    HResult PutNumSegments(int16_t segments);
    int16_t Orientation() const { return orientation_; }
    HResult PutOrientation(int16_t orientation);
    int16_t Style() const { return style_; }
    HResult PutStyle(int16_t style);

    // Sound devices.
    int32_t NRecordDevices() const;
    int32_t NPlaybackDevices() const;
    /// The device's name, at most 31 bytes; empty when the system refuses the number.
    std::string RecordDeviceName(int32_t device) const;
    std::string PlaybackDeviceName(int32_t device) const;
    /// Starts the desktop's mixer, its record view for a non-zero type: 0, or 12 when none
    /// starts.
    int16_t ShowMixer(int16_t mixerType);

    // Tones, editing mode, devices and VOX.
    float PreToneDuration() const { return state_.PreToneDuration.load(); }
    HResult PutPreToneDuration(float seconds);
    float PostToneDuration() const { return state_.PostToneDuration.load(); }
    HResult PutPostToneDuration(float seconds);
    int16_t Insert() const { return state_.Insert.load(); }
    HResult PutInsert(int16_t value);
    int32_t RecordDevice() const { return state_.RecordDevice.load(); }
    HResult PutRecordDevice(int32_t device);
    int32_t PlaybackDevice() const { return state_.PlaybackDevice.load(); }
    HResult PutPlaybackDevice(int32_t device);
    int16_t VoxChannel() const { return state_.VoxChannel.load(); }
    HResult PutVoxChannel(int16_t channel);
    float VoxStartLevel() const { return state_.VoxStartLevel.load(); }
    HResult PutVoxStartLevel(float level);
    float VoxStopLevel() const { return state_.VoxStopLevel.load(); }
    HResult PutVoxStopLevel(float level);
    int16_t VoxTime() const { return state_.VoxTime.load(); }
    HResult PutVoxTime(int16_t tenths);
    int16_t VoxPaused() const { return state_.VoxPaused.load(); }

    /// Brings the file's sizes up to date after a recording; the notification window calls it
    /// when the engine reports that a recording has stopped. Does nothing when no file is open,
    /// when the file has been finished since its last recording, or while a recording or
    /// playback runs (a late report must not touch the file under the engine).
    void FinishRecordingFile();

    /// The description of the last refused property write (the error object's text).
    const std::string& PropertyErrorDescription() const { return propertyError_; }

    /// The notification window's queue: the engine's notifications wait here for the host. Its
    /// wake descriptor is readable while any wait; the host's event loop then calls
    /// DispatchNotifications.
    MessageQueue& NotifyWindow() { return notifyWindow_; }

    /// Handles every notification waiting, in the order the engine posted them, on the host's
    /// thread; answers how many. Events go to the target set below.
    size_t DispatchNotifications();

    /// Handles one engine notification: the file's sizes after a recording, and the events.
    void OnEngineNotify(int32_t code);

    /// Where events go; none (nullptr) by default. The target must outlive the control or be
    /// replaced first.
    void SetEventTarget(ControlEvents* events) { events_ = events; }

    /// The recorder state the engine shares, for the control's own layers and tests.
    RecorderState& State() { return state_; }

private:
    bool IsFileOpen() const;
    int16_t Fail(ErrorCode code);
    HResult ReportPropertyError(const std::string& description);
    int16_t ProbeRecordFormat();
    void CloseRecordingFile();
    int16_t CreateNewFile(const std::string& filename);
    int16_t OpenExistingFile();
    ErrorCode OpenDataOnlyFile();
    void ApplyRecordTimeLimit();
    void DiscardFile();
    /// The rate positions in seconds are counted in.
    double PositionRate() const;
    /// Asks for the meter to be drawn again; the meter's drawing arrives with its own work.
    void RequestRedraw() {}

    SoundDeviceService& devices_;
    RecorderState state_;
    MessageQueue notifyWindow_;
    Engine engine_;
    bool hasEngine_ = false;

    uint32_t backColor_ = 0x8000000F;  // the system's button face
    uint32_t lowColor_ = 0x0000FF00;
    uint32_t midColor_ = 0x0000FFFF;
    uint32_t highColor_ = 0x000000FF;
    int16_t numSegments_ = 8;
    int16_t orientation_ = 0;
    int16_t style_ = 0;
    int32_t sampleRate_ = 44100;
    int16_t bitsPerSample_ = 16;
    int16_t numChannels_ = 2;
    int16_t temporaryFile_ = 0;
    int16_t dataOnly_ = 0;
    double recordTimeLimit_ = 0.0;
    std::string filename_;
    std::unique_ptr<RiffFile> file_;
    // A recording has ended and its sizes are not yet in the file. Every start finishes it
    // first, so that the engine never works from stale chunk sizes.
    bool recordingUnfinished_ = false;
    // The Insert mode of the recording running: the one it keeps until it stops.
    bool insertRecording_ = false;
    std::string propertyError_;
    ControlEvents* events_ = nullptr;
};

}  // namespace kora486
