#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kora486::testing {

/// Little-endian byte images of RIFF files, chunk by chunk, for fixtures made in code.
class WavBuilder {
public:
    /// RIFF header; the size is worked out by Bytes() unless given.
    WavBuilder& Riff(const std::string& form = "WAVE") {
        bytes_.insert(bytes_.end(), {'R', 'I', 'F', 'F', 0, 0, 0, 0});
        Text(form);
        return *this;
    }

    /// A chunk with its pad byte; size defaults to the body's length.
    WavBuilder& Chunk(const std::string& id, const std::vector<uint8_t>& body, int64_t size = -1) {
        Text(id);
        Put32(bytes_, static_cast<uint32_t>(size < 0 ? body.size() : size));
        bytes_.insert(bytes_.end(), body.begin(), body.end());
        if (body.size() % 2 == 1) {
            bytes_.push_back(0);
        }
        return *this;
    }

    WavBuilder& Raw(const std::vector<uint8_t>& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }

    /// The image; the RIFF size counts everything after its field unless riffSize is given.
    std::vector<uint8_t> Bytes(int64_t riffSize = -1) const {
        std::vector<uint8_t> out = bytes_;
        if (out.size() >= 8) {
            const auto size = static_cast<uint32_t>(riffSize < 0 ? out.size() - 8 : riffSize);
            for (int i = 0; i < 4; ++i) {
                out[4 + i] = static_cast<uint8_t>(size >> (8 * i));
            }
        }
        return out;
    }

    /// A "fmt " body: tag, channels, rate, bits; block align and byte rate follow from them.
    static std::vector<uint8_t> Format(uint16_t tag, uint16_t channels, uint32_t rate,
                                       uint16_t bits, size_t bodySize = 18) {
        const auto blockAlign = static_cast<uint16_t>(channels * bits / 8);
        return FormatFields(tag, channels, rate, rate * blockAlign, blockAlign, bits, bodySize);
    }

    static std::vector<uint8_t> FormatFields(uint16_t tag, uint16_t channels, uint32_t rate,
                                             uint32_t byteRate, uint16_t blockAlign, uint16_t bits,
                                             size_t bodySize = 18, uint16_t cbSize = 0) {
        std::vector<uint8_t> body;
        Put16(body, tag);
        Put16(body, channels);
        Put32(body, rate);
        Put32(body, byteRate);
        Put16(body, blockAlign);
        Put16(body, bits);
        Put16(body, cbSize);
        body.resize(bodySize, 0);
        return body;
    }

    static std::vector<uint8_t> Le32(uint32_t value) {
        std::vector<uint8_t> out;
        Put32(out, value);
        return out;
    }

    static void Put16(std::vector<uint8_t>& out, uint16_t value) {
        out.push_back(static_cast<uint8_t>(value));
        out.push_back(static_cast<uint8_t>(value >> 8));
    }
    static void Put32(std::vector<uint8_t>& out, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }

private:
    void Text(const std::string& fourcc) {
        bytes_.insert(bytes_.end(), fourcc.begin(), fourcc.end());
    }

    std::vector<uint8_t> bytes_;
};

inline uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t{bytes.at(offset)} | uint32_t{bytes.at(offset + 1)} << 8 |
           uint32_t{bytes.at(offset + 2)} << 16 | uint32_t{bytes.at(offset + 3)} << 24;
}

inline std::string TextAt(const std::vector<uint8_t>& bytes, size_t offset) {
    return std::string(bytes.begin() + static_cast<long>(offset),
                       bytes.begin() + static_cast<long>(offset + 4));
}

}  // namespace kora486::testing
