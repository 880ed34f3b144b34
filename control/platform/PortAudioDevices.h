#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/SoundDeviceService.h"

namespace kora486 {

class PortAudioSession;
struct PortAudioTotals;

/// An input device opened by PortAudioDevices, with its diagnostics.
class PortAudioWaveIn : public WaveInDevice {
public:
    /// Times captured sound was lost since the device opened: a callback that found no buffer
    /// queued, or one that PortAudio flagged as an input overflow. Any thread may call it.
    virtual uint64_t Overruns() const = 0;
};

/// An output device opened by PortAudioDevices, with its diagnostics.
class PortAudioWaveOut : public WaveOutDevice {
public:
    /// Times the device went silent between two buffers while not paused, or PortAudio flagged
    /// an output underflow, since the device opened. Running out at the end of the queue is not
    /// counted. Any thread may call it.
    virtual uint64_t Underruns() const = 0;
};

/// Real sound devices through PortAudio.
///
/// The record devices are PortAudio's devices with input channels and the playback devices
/// those with output channels, each numbered from 0 in PortAudio's order; WaveMapper is
/// PortAudio's default device of that direction. The device list is taken once, when the
/// service is made. A format is accepted when it is 8-bit unsigned or 16-bit signed PCM and
/// PortAudio accepts its exact channels and rate on the device.
///
/// If PortAudio fails to start, the service has no devices: names answer MmBadDeviceId and
/// every query and open MmBadDeviceId, so the control's starts fail as they do with no sound
/// card. StartError says why. Every service in the process shares one initialisation of
/// PortAudio and makes its PortAudio calls one at a time. Starting PortAudio also turns off
/// ALSA's and JACK's error printing for the process, which would otherwise list every device
/// they probe on stderr.
///
/// Each open device runs one small service thread that posts the buffer-done messages; the
/// PortAudio callback only copies samples and hands headers over through lock-free rings. A
/// device's members may be called from any thread, one call at a time being typical (the
/// engine's). Devices may outlive the service; PortAudio stays initialised until the last of
/// them is gone.
class PortAudioDevices final : public SoundDeviceService {
public:
    PortAudioDevices();
    ~PortAudioDevices() override;
    PortAudioDevices(const PortAudioDevices&) = delete;
    PortAudioDevices& operator=(const PortAudioDevices&) = delete;

    unsigned InputDeviceCount() const override;
    unsigned OutputDeviceCount() const override;
    MmResult InputDeviceName(int device, std::string& name) const override;
    MmResult OutputDeviceName(int device, std::string& name) const override;
    MmResult QueryInputFormat(int device, const WaveFormatEx& format) const override;
    MmResult QueryOutputFormat(int device, const WaveFormatEx& format) const override;
    MmResult OpenInput(int device, const WaveFormatEx& format, MessageQueue& callback,
                       std::unique_ptr<WaveInDevice>& opened) override;
    MmResult OpenOutput(int device, const WaveFormatEx& format, MessageQueue& callback,
                        std::unique_ptr<WaveOutDevice>& opened) override;

    /// PortAudio's text for why it failed to start, or empty when it started.
    const std::string& StartError() const;

    /// Totals over every device this service has opened, for diagnostics.
    uint64_t InputOverruns() const;
    uint64_t OutputUnderruns() const;

    /// The most buffers one device holds queued at a time; further ones are refused with
    /// MmNoMemory. The engine queues ten.
    static constexpr size_t MaxQueuedBuffers = 64;

private:
    struct Entry {
        int index;  // PortAudio's device index
        std::string name;
        double latency;  // the latency streams on it are opened with, in seconds
    };

    const Entry* Resolve(bool input, int device) const;

    std::shared_ptr<PortAudioSession> session_;
    std::shared_ptr<PortAudioTotals> totals_;  // shared with the devices, which may outlive us
    std::vector<Entry> inputs_;
    std::vector<Entry> outputs_;
    // PortAudio's default devices as positions in the lists, or -1 for none.
    int defaultInput_ = -1;
    int defaultOutput_ = -1;
};

}  // namespace kora486
