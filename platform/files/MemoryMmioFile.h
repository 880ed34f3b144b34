#pragma once

#include <cstdint>
#include <vector>

#include "files/MmioFile.h"

namespace kora486 {

/// An MmioFile held in memory: for tests and for scratch data that never needs a disk.
class MemoryMmioFile final : public MmioFile {
public:
    MemoryMmioFile() = default;
    explicit MemoryMmioFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int32_t Read(void* data, int32_t count) override;
    int32_t Write(const void* data, int32_t count) override;

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    int64_t Position() const { return position_; }

private:
    std::vector<uint8_t> bytes_;
    int64_t position_ = 0;
};

}  // namespace kora486
