#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "engine/EngineProtocol.h"
#include "platform/SoundDeviceService.h"
#include "platform/WaveFormatEx.h"

namespace kora486 {

/// The ten device buffers of one recording or playback, each with its own data block.
/// Allocated when a run starts and freed when it stops; nothing is allocated in between.
class BufferRing {
public:
    /// One tenth of the device format's bytes per second, rounded down to whole device blocks.
    static uint32_t BufferBytesFor(const WaveFormatEx& deviceFormat);

    /// Makes the ten headers with blocks of bufferBytes each, length bufferBytes and flags 0.
    void Allocate(uint32_t bufferBytes);
    void Free();

    bool IsAllocated() const { return blocks_ != nullptr; }
    uint32_t BufferBytes() const { return bufferBytes_; }
    WaveHeader& operator[](int index) { return headers_[static_cast<size_t>(index)]; }

    /// Prepares every header with the device. When one fails, unprepares those prepared before it
    /// and answers the failure.
    template <typename Device>
    MmResult PrepareAll(Device& device) {
        for (int i = 0; i < RingBufferCount; ++i) {
            if (const MmResult result = device.PrepareHeader((*this)[i]); result != MmNoError) {
                while (--i >= 0) {
                    device.UnprepareHeader((*this)[i]);
                }
                return result;
            }
        }
        return MmNoError;
    }

    template <typename Device>
    void UnprepareAll(Device& device) {
        for (int i = 0; i < RingBufferCount; ++i) {
            device.UnprepareHeader((*this)[i]);
        }
    }

private:
    std::array<WaveHeader, RingBufferCount> headers_{};
    std::unique_ptr<uint8_t[]> blocks_;
    uint32_t bufferBytes_ = 0;
};

}  // namespace kora486
