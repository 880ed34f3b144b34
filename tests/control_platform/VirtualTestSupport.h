#pragma once

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "messaging/MessageQueue.h"
#include "platform/PcmWavFile.h"
#include "platform/WaveFormatEx.h"

namespace kora486::test {

inline WaveFormatEx Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    return {WaveFormatPcm, channels, rate, rate * align, align, bits, 0};
}

// A canonical WAV image of the given samples, as a writer on disk would leave it.
inline std::vector<uint8_t> WavImage(const WaveFormatEx& format, const std::vector<uint8_t>& data) {
    const auto header = PcmWavHeader(format, static_cast<uint32_t>(data.size()));
    // The pad byte of odd-sized data is the zero that resize leaves at the end.
    std::vector<uint8_t> image(header.size() + data.size() + data.size() % 2);
    std::memcpy(image.data(), header.data(), header.size());
    if (!data.empty()) {
        std::memcpy(image.data() + header.size(), data.data(), data.size());
    }
    return image;
}

inline std::vector<uint8_t> Le16(std::initializer_list<int16_t> samples) {
    std::vector<uint8_t> bytes;
    for (int16_t s : samples) {
        const auto v = static_cast<uint16_t>(s);
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    return bytes;
}

inline int16_t SampleAt(const uint8_t* p) {
    return static_cast<int16_t>(p[0] | (p[1] << 8));
}

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/vdevXXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        const std::string path = File(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return path;
    }

private:
    std::filesystem::path path_;
};

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The next message, waiting at most `timeout` for it on the queue's wake descriptor.
inline std::optional<Message> NextMessage(MessageQueue& queue, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto message = queue.Peek()) {
            return message;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd wake{queue.WakeDescriptor(), POLLIN, 0};
        poll(&wake, 1, static_cast<int>(left.count()));
    }
}

}  // namespace kora486::test
