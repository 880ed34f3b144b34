#include "files/MemoryMmioFile.h"

#include <algorithm>
#include <cstring>

namespace kora486 {

int64_t MemoryMmioFile::Seek(int64_t offset, SeekOrigin origin) {
    int64_t base = 0;
    switch (origin) {
        case SeekOrigin::Start:
            break;
        case SeekOrigin::Current:
            base = position_;
            break;
        case SeekOrigin::End:
            base = static_cast<int64_t>(bytes_.size());
            break;
    }
    if (base + offset < 0) {
        return -1;
    }
    position_ = base + offset;
    return position_;
}

int32_t MemoryMmioFile::Read(void* data, int32_t count) {
    if (count < 0) {
        return -1;
    }
    const int64_t size = static_cast<int64_t>(bytes_.size());
    const int64_t n = std::clamp<int64_t>(size - position_, 0, count);
    if (n > 0) {
        std::memcpy(data, bytes_.data() + position_, static_cast<size_t>(n));
    }
    position_ += n;
    return static_cast<int32_t>(n);
}

int32_t MemoryMmioFile::Write(const void* data, int32_t count) {
    if (count < 0) {
        return -1;
    }
    const auto end = static_cast<size_t>(position_ + count);
    if (end > bytes_.size()) {
        bytes_.resize(
            end);  // a write past the end fills the gap with zeros, as a sparse file reads
    }
    if (count > 0) {
        std::memcpy(bytes_.data() + position_, data, static_cast<size_t>(count));
    }
    position_ += count;
    return count;
}

}  // namespace kora486
