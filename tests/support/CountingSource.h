#pragma once

#include <cstdint>
#include <cstring>

#include "platform/VirtualSources.h"

namespace kora486::testing {

/// Captures a running count, one per 16-bit sample, so a gap or a repeated buffer shows in what
/// was recorded: sample k of the recording holds k modulo 2^16.
class CountingSource final : public InputSource {
public:
    void Fill(uint8_t* data, uint32_t bytes, const WaveFormatEx&) override {
        for (uint32_t i = 0; i + 1 < bytes; i += 2) {
            const auto value = static_cast<int16_t>(next_++);
            std::memcpy(data + i, &value, 2);
        }
    }

private:
    uint16_t next_ = 0;
};

}  // namespace kora486::testing
