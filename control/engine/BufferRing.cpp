#include "engine/BufferRing.h"

namespace kora486 {

uint32_t BufferRing::BufferBytesFor(const WaveFormatEx& deviceFormat) {
    const uint32_t tenth = deviceFormat.avgBytesPerSec / 10;
    if (deviceFormat.blockAlign == 0) {
        return tenth;
    }
    return tenth - tenth % deviceFormat.blockAlign;
}

void BufferRing::Allocate(uint32_t bufferBytes) {
    bufferBytes_ = bufferBytes;
    blocks_ = std::make_unique<uint8_t[]>(static_cast<size_t>(bufferBytes) * RingBufferCount);
    for (int i = 0; i < RingBufferCount; ++i) {
        WaveHeader& header = headers_[static_cast<size_t>(i)];
        header = {};
        header.data = blocks_.get() + static_cast<size_t>(i) * bufferBytes;
        header.bufferLength = bufferBytes;
    }
}

void BufferRing::Free() {
    headers_ = {};
    blocks_.reset();
    bufferBytes_ = 0;
}

}  // namespace kora486
