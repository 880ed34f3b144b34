#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "messaging/MessageQueue.h"
#include "platform/WaveFormatEx.h"

namespace kora486 {

// What every backend may assume: the engine prepares a header before it queues it, queues only
// prepared headers, unprepares only headers that have come back, and closes a device only after a
// reset has returned every buffer. The backends check these rules anyway and answer the error
// codes below, but need not do anything sensible beyond refusing.

/// Result of a sound-device call: 0 is success, anything else a refusal.
using MmResult = uint32_t;
inline constexpr MmResult MmNoError = 0;
inline constexpr MmResult MmError = 1;
inline constexpr MmResult MmBadDeviceId = 2;
inline constexpr MmResult MmAllocated = 4;
inline constexpr MmResult MmInvalidHandle = 5;
inline constexpr MmResult MmNoDriver = 6;
inline constexpr MmResult MmNoMemory = 7;
inline constexpr MmResult MmInvalidFlag = 10;
inline constexpr MmResult MmInvalidParameter = 11;
inline constexpr MmResult WaveBadFormat = 32;
inline constexpr MmResult WaveStillPlaying = 33;
inline constexpr MmResult WaveUnprepared = 34;

/// Device number that stands for the system's default device.
inline constexpr int WaveMapper = -1;

/// Longest device name the service hands out, in bytes.
inline constexpr size_t MaxDeviceNameLength = 31;

/// The two buffer-done messages. wParam is the device (WaveInDevice* or WaveOutDevice*), lParam
/// the WaveHeader* that came back.
inline constexpr uint32_t MmWimData = 0x3C0;
inline constexpr uint32_t MmWomDone = 0x3BD;

/// Header flags.
inline constexpr uint32_t WhdrDone = 0x01;
inline constexpr uint32_t WhdrPrepared = 0x02;
inline constexpr uint32_t WhdrInQueue = 0x10;

/// A buffer handed to a device. The caller owns the data block; the device owns the header from
/// the moment it is queued until its buffer-done message is taken from the queue.
struct WaveHeader {
    uint8_t* data = nullptr;
    uint32_t bufferLength = 0;   ///< bytes in the data block (output: bytes to play)
    uint32_t bytesRecorded = 0;  ///< input: bytes captured into the block
    uint32_t flags = 0;
};

/// An open input device (waveIn handle).
class WaveInDevice {
public:
    virtual ~WaveInDevice() = default;
    virtual MmResult PrepareHeader(WaveHeader& header) = 0;
    virtual MmResult UnprepareHeader(WaveHeader& header) = 0;
    /// Queues a prepared buffer to be filled.
    virtual MmResult AddBuffer(WaveHeader& header) = 0;
    /// Begins capture into the queued buffers.
    virtual MmResult Start() = 0;
    /// Stops capture and returns every queued buffer at once, each with what it holds so far.
    virtual MmResult Reset() = 0;
    /// Releases the device; refused with WaveStillPlaying while buffers are queued.
    virtual MmResult Close() = 0;
};

/// An open output device (waveOut handle).
class WaveOutDevice {
public:
    virtual ~WaveOutDevice() = default;
    virtual MmResult PrepareHeader(WaveHeader& header) = 0;
    virtual MmResult UnprepareHeader(WaveHeader& header) = 0;
    /// Queues a prepared buffer to be played after those already queued.
    virtual MmResult Write(WaveHeader& header) = 0;
    /// Halts output; queued buffers stay queued.
    virtual MmResult Pause() = 0;
    /// Runs output again after Pause.
    virtual MmResult Restart() = 0;
    /// Returns every queued buffer at once as done; the device is left running, not paused.
    virtual MmResult Reset() = 0;
    /// Releases the device; refused with WaveStillPlaying while buffers are queued.
    virtual MmResult Close() = 0;
};

/// The waveform-audio service: device counts, names, format queries and opening devices.
///
/// Devices are numbered from 0; WaveMapper (-1) is the default device. An opened device posts its
/// buffer-done messages to the queue it was opened with, in the order the buffers were queued,
/// every buffer exactly once. The queue must outlive the device.
class SoundDeviceService {
public:
    virtual ~SoundDeviceService() = default;

    virtual unsigned InputDeviceCount() const = 0;
    virtual unsigned OutputDeviceCount() const = 0;

    /// The device's product name, at most MaxDeviceNameLength bytes.
    virtual MmResult InputDeviceName(int device, std::string& name) const = 0;
    virtual MmResult OutputDeviceName(int device, std::string& name) const = 0;

    /// Answers MmNoError when the device would be opened with the format; opens nothing.
    virtual MmResult QueryInputFormat(int device, const WaveFormatEx& format) const = 0;
    virtual MmResult QueryOutputFormat(int device, const WaveFormatEx& format) const = 0;

    virtual MmResult OpenInput(int device, const WaveFormatEx& format, MessageQueue& callback,
                               std::unique_ptr<WaveInDevice>& opened) = 0;
    virtual MmResult OpenOutput(int device, const WaveFormatEx& format, MessageQueue& callback,
                                std::unique_ptr<WaveOutDevice>& opened) = 0;
};

}  // namespace kora486
