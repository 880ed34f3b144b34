#include "platform/VirtualSinks.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/PcmWavFile.h"

namespace kora486 {

WaveFormatEx MemoryRecording::Format() const {
    std::lock_guard guard(lock_);
    return format_;
}

std::vector<uint8_t> MemoryRecording::Bytes() const {
    std::lock_guard guard(lock_);
    return bytes_;
}

size_t MemoryRecording::Size() const {
    std::lock_guard guard(lock_);
    return bytes_.size();
}

bool MemoryRecording::IsOpen() const {
    std::lock_guard guard(lock_);
    return open_;
}

void MemoryRecording::Clear() {
    std::lock_guard guard(lock_);
    bytes_.clear();
}

void MemoryRecording::Open(const WaveFormatEx& format) {
    std::lock_guard guard(lock_);
    format_ = format;
    open_ = true;
}

void MemoryRecording::Append(const uint8_t* data, uint32_t bytes) {
    std::lock_guard guard(lock_);
    bytes_.insert(bytes_.end(), data, data + bytes);
}

void MemoryRecording::Close() {
    std::lock_guard guard(lock_);
    open_ = false;
}

namespace {

class DiscardSink final : public OutputSink {
public:
    void Open(const WaveFormatEx&) override {}
    void Consume(const uint8_t*, uint32_t) override {}
    void Close() override {}
};

class MemorySink final : public OutputSink {
public:
    explicit MemorySink(std::shared_ptr<MemoryRecording> into) : into_(std::move(into)) {}
    void Open(const WaveFormatEx& format) override { into_->Open(format); }
    void Consume(const uint8_t* data, uint32_t bytes) override { into_->Append(data, bytes); }
    void Close() override { into_->Close(); }

private:
    std::shared_ptr<MemoryRecording> into_;
};

// The RIFF size field is 32 bits and counts the header after its first 8 bytes and a pad byte.
constexpr uint64_t MaxWavDataBytes = std::numeric_limits<uint32_t>::max() - PcmWavHeaderSize;

class WavFileSink final : public OutputSink {
public:
    explicit WavFileSink(std::string path) : path_(std::move(path)) {}
    ~WavFileSink() override { Close(); }

    void Open(const WaveFormatEx& format) override {
        Close();
        format_ = format;
        written_ = 0;
        file_ = std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) {
            Fail("cannot create: " + std::string(std::strerror(errno)));
            return;
        }
        // Sizes of zero until Close knows them.
        WriteAll(PcmWavHeader(format_, 0).data(), PcmWavHeaderSize);
    }

    void Consume(const uint8_t* data, uint32_t bytes) override {
        if (file_ == nullptr || failure_) {
            return;
        }
        if (written_ + bytes > MaxWavDataBytes) {
            Fail("more than 4 GiB of sound; the rest is dropped");
            return;
        }
        if (WriteAll(data, bytes)) {
            written_ += bytes;
        }
    }

    void Close() override {
        if (file_ == nullptr) {
            return;
        }
        if (!failure_) {
            const auto size = static_cast<uint32_t>(written_);
            const uint8_t pad = 0;
            if ((size & 1) != 0) {
                WriteAll(&pad, 1);
            }
            if (!failure_ && std::fseek(file_, 0, SEEK_SET) != 0) {
                Fail("cannot seek to the header: " + std::string(std::strerror(errno)));
            }
            if (!failure_) {
                WriteAll(PcmWavHeader(format_, size).data(), PcmWavHeaderSize);
            }
        }
        if (std::fclose(file_) != 0 && !failure_) {
            Fail("cannot close: " + std::string(std::strerror(errno)));
        }
        file_ = nullptr;
    }

    std::optional<std::string> Failure() const override { return failure_; }

private:
    bool WriteAll(const void* data, size_t bytes) {
        if (failure_) {
            return false;
        }
        if (std::fwrite(data, 1, bytes, file_) != bytes) {
            Fail("cannot write: " + std::string(std::strerror(errno)));
            return false;
        }
        return true;
    }

    void Fail(const std::string& what) {
        if (!failure_) {
            failure_ = path_ + ": " + what;
        }
    }

    std::string path_;
    WaveFormatEx format_;
    std::FILE* file_ = nullptr;
    uint64_t written_ = 0;
    std::optional<std::string> failure_;
};

}  // namespace

std::unique_ptr<OutputSink> MakeDiscardSink() {
    return std::make_unique<DiscardSink>();
}

std::unique_ptr<OutputSink> MakeMemorySink(std::shared_ptr<MemoryRecording> into) {
    return std::make_unique<MemorySink>(std::move(into));
}

std::unique_ptr<OutputSink> MakeWavFileSink(const std::string& path) {
    return std::make_unique<WavFileSink>(path);
}

}  // namespace kora486
