#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "platform/SoundDeviceService.h"
#include "platform/VirtualDeviceConfig.h"

namespace kora486 {

class VirtualDeviceShared;

/// Simulated sound devices: deterministic, for tests and for machines without a sound card.
///
/// Inputs capture what their InputSource makes, outputs hand what they play to their OutputSink,
/// and buffers complete by the configured VirtualClock. WaveMapper stands for device 0; a number
/// past the count answers MmBadDeviceId, a refused format WaveBadFormat, and a device that is
/// already open MmAllocated. A RealTime device runs one timing thread while it is open.
///
/// Any thread may call any member, and the devices may outlive the service. Sources and sinks are
/// called one call at a time, often with the service's lock held, so they must not call back into
/// the service.
class VirtualDevices final : public SoundDeviceService {
public:
    explicit VirtualDevices(VirtualDeviceConfig config = {});
    ~VirtualDevices() override;
    VirtualDevices(const VirtualDevices&) = delete;
    VirtualDevices& operator=(const VirtualDevices&) = delete;

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

    /// Manual clock, from the test's thread: completes up to n buffers at the head of the open
    /// input (output) device's queue, in order, while that device runs (an input once started, an
    /// output while not paused). Answers how many completed. With several devices open, the
    /// lowest-numbered one is meant.
    size_t CompleteInputBuffers(size_t n = 1);
    size_t CompleteOutputBuffers(size_t n = 1);

    /// Buffers queued on the open input (output) device; 0 when none is open.
    size_t QueuedInputBuffers() const;
    size_t QueuedOutputBuffers() const;

    /// Waits until the open input (output) device holds at least n queued buffers, or the
    /// timeout passes; answers whether it does. For tests driving the manual clock against an
    /// engine thread.
    bool WaitForQueuedInputBuffers(size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForQueuedOutputBuffers(size_t n, std::chrono::milliseconds timeout) const;

    /// Waits until the open output device runs (running) or is paused (!running), or the timeout
    /// passes; answers whether it does. For tests that pause and resume a playback.
    bool WaitForOutputRunning(bool running, std::chrono::milliseconds timeout) const;

private:
    std::shared_ptr<VirtualDeviceShared> shared_;
};

/// The name as handed out: at most MaxDeviceNameLength bytes, never ending inside a UTF-8
/// character.
std::string CutDeviceName(const std::string& name);

}  // namespace kora486
