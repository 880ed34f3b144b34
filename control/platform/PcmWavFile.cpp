#include "platform/PcmWavFile.h"

#include "files/WaveFormatRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kora486 {

namespace {

constexpr uint32_t MaxPcmWavRate = 1000000;

bool Fail(std::string* error, std::string message) {
    if (error != nullptr) {
        *error = std::move(message);
    }
    return false;
}

// One chunk of the RIFF form: its id, the size it claims and where its data starts.
struct Chunk {
    char id[5] = {};
    uint32_t size = 0;
    size_t offset = 0;
};

bool CheckFormat(const WaveFormatEx& f, size_t at, std::string* error) {
    const std::string where = "fmt chunk at byte " + std::to_string(at) + ": ";
    if (f.formatTag != WaveFormatPcm) {
        return Fail(error, where + "format tag " + std::to_string(f.formatTag) + " is not PCM (1)");
    }
    if (f.channels != 1 && f.channels != 2) {
        return Fail(error, where + std::to_string(f.channels) + " channels, expected 1 or 2");
    }
    if (f.bitsPerSample != 8 && f.bitsPerSample != 16) {
        return Fail(error, where + std::to_string(f.bitsPerSample) + " bits, expected 8 or 16");
    }
    if (f.blockAlign != f.channels * f.bitsPerSample / 8) {
        return Fail(error, where + "block align " + std::to_string(f.blockAlign) +
                               " does not match the channels and bits");
    }
    // The cap keeps rate × block align inside 32 bits.
    if (f.samplesPerSec == 0 || f.samplesPerSec > MaxPcmWavRate) {
        return Fail(error, where + "sample rate " + std::to_string(f.samplesPerSec) +
                               " is outside 1.." + std::to_string(MaxPcmWavRate));
    }
    return true;
}

}  // namespace

std::optional<PcmWav> ParsePcmWav(const uint8_t* bytes, size_t size, std::string* error) {
    if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) {
        Fail(error, "not a RIFF WAVE file (byte 0)");
        return std::nullopt;
    }
    // A RIFF size past the end of the image is common in files whose writer never finished; the
    // bytes present are what counts.
    const size_t end = std::min<size_t>(size, size_t{8} + ReadLe32(bytes + 4));

    std::optional<Chunk> fmt;
    std::optional<Chunk> data;
    size_t at = 12;
    while (at + 8 <= end) {
        Chunk chunk;
        std::memcpy(chunk.id, bytes + at, 4);
        chunk.size = ReadLe32(bytes + at + 4);
        chunk.offset = at + 8;
        const bool isFmt = std::memcmp(chunk.id, "fmt ", 4) == 0;
        const bool isData = std::memcmp(chunk.id, "data", 4) == 0;
        if (isFmt && !fmt) {
            fmt = chunk;
        } else if (isData && !data) {
            data = chunk;
        }
        // RIFF chunks are padded to an even length; the pad byte is not counted in the size.
        const uint64_t next = uint64_t{chunk.offset} + chunk.size + (chunk.size & 1);
        if (next > end) {
            break;
        }
        at = static_cast<size_t>(next);
    }

    if (!fmt) {
        Fail(error, "no fmt chunk");
        return std::nullopt;
    }
    if (fmt->size < 16 || fmt->offset + 16 > end) {
        Fail(error, "fmt chunk at byte " + std::to_string(fmt->offset - 8) + " is " +
                        std::to_string(fmt->size) + " bytes, needs 16");
        return std::nullopt;
    }
    PcmWav wav;
    const uint8_t* f = bytes + fmt->offset;
    wav.format = DecodeWaveFormat(std::span<const uint8_t>(f, 16));
    if (!CheckFormat(wav.format, fmt->offset - 8, error)) {
        return std::nullopt;
    }
    // Only the fields a reader needs are trusted; the rest are recomputed.
    wav.format.avgBytesPerSec = wav.format.samplesPerSec * wav.format.blockAlign;
    wav.format.cbSize = 0;

    if (!data) {
        Fail(error, "no data chunk");
        return std::nullopt;
    }
    const size_t present = std::min<size_t>(data->size, end - std::min(end, data->offset));
    const size_t whole = present - present % wav.format.blockAlign;
    if (whole == 0) {
        Fail(error, "data chunk at byte " + std::to_string(data->offset - 8) +
                        " holds no whole sample frame");
        return std::nullopt;
    }
    wav.samples.assign(bytes + data->offset, bytes + data->offset + whole);
    return wav;
}

std::optional<PcmWav> ReadPcmWavFile(const std::string& path, std::string* error) {
    auto failWith = [&](const std::string& what) {
        Fail(error, path + ": " + what);
        return std::nullopt;
    };
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return failWith(std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};

    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return failWith(std::strerror(errno));
    }
    // Only regular files: a device or a pipe could stream forever.
    if (!S_ISREG(info.st_mode)) {
        return failWith("not a regular file");
    }
    if (static_cast<uint64_t>(info.st_size) > MaxPcmWavFileBytes) {
        return failWith("larger than " + std::to_string(MaxPcmWavFileBytes >> 20) + " MiB");
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return failWith(std::strerror(errno));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);

    std::string why;
    auto wav = ParsePcmWav(bytes.data(), bytes.size(), &why);
    if (!wav) {
        return failWith(why);
    }
    return wav;
}

std::array<uint8_t, PcmWavHeaderSize> PcmWavHeader(const WaveFormatEx& format, uint32_t dataBytes) {
    std::array<uint8_t, PcmWavHeaderSize> h{};
    std::memcpy(h.data(), "RIFF", 4);
    WriteLe32(h.data() + 4, 36 + dataBytes + (dataBytes & 1));
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    WriteLe32(h.data() + 16, 16);
    WriteLe16(h.data() + 20, format.formatTag);
    WriteLe16(h.data() + 22, format.channels);
    WriteLe32(h.data() + 24, format.samplesPerSec);
    WriteLe32(h.data() + 28, format.avgBytesPerSec);
    WriteLe16(h.data() + 32, format.blockAlign);
    WriteLe16(h.data() + 34, format.bitsPerSample);
    std::memcpy(h.data() + 36, "data", 4);
    WriteLe32(h.data() + 40, dataBytes);
    return h;
}

}  // namespace kora486
