#include "platform/PcmWavFile.h"

#include <gtest/gtest.h>

#include <cstring>

#include "VirtualTestSupport.h"

namespace kora486 {
namespace {

using test::Pcm;

// Builds RIFF images chunk by chunk, with the sizes written as given.
struct Riff {
    std::vector<uint8_t> bytes;

    Riff() : bytes(12) { std::memcpy(bytes.data(), "RIFF\0\0\0\0WAVE", 12); }

    Riff& Chunk(const char* id, std::vector<uint8_t> body, std::optional<uint32_t> size = {}) {
        bytes.insert(bytes.end(), id, id + 4);
        const uint32_t n = size.value_or(uint32_t(body.size()));
        for (int i = 0; i < 4; ++i) {
            bytes.push_back(uint8_t(n >> (8 * i)));
        }
        bytes.insert(bytes.end(), body.begin(), body.end());
        if (body.size() % 2 != 0) {
            bytes.push_back(0);
        }
        return *this;
    }
    Riff& Fmt(const WaveFormatEx& f) {
        const auto header = PcmWavHeader(f, 0);
        std::vector<uint8_t> body(16);
        std::memcpy(body.data(), header.data() + 20, body.size());
        return Chunk("fmt ", std::move(body));
    }
    std::vector<uint8_t> Done() {
        const auto n = uint32_t(bytes.size() - 8);
        for (int i = 0; i < 4; ++i) {
            bytes[4 + i] = uint8_t(n >> (8 * i));
        }
        return bytes;
    }
};

TEST(PcmWavFile, ReadsWhatItsHeaderDescribes) {
    for (const WaveFormatEx& format :
         {Pcm(8000, 1, 8), Pcm(11025, 2, 8), Pcm(44100, 1, 16), Pcm(192000, 2, 16)}) {
        std::vector<uint8_t> samples(format.blockAlign * 7);
        for (size_t i = 0; i < samples.size(); ++i) {
            samples[i] = uint8_t(i * 37);
        }
        const auto image = test::WavImage(format, samples);
        const auto wav = ParsePcmWav(image.data(), image.size(), nullptr);
        ASSERT_TRUE(wav);
        EXPECT_EQ(wav->format, format);
        EXPECT_EQ(wav->samples, samples);
    }
}

TEST(PcmWavFile, SkipsUnknownChunksAndCutsShortData) {
    const WaveFormatEx f = Pcm(8000, 2, 16);
    const struct {
        const char* what;
        std::vector<uint8_t> image;
        size_t samples;
    } cases[] = {
        {"odd unknown chunk first",
         Riff().Chunk("LIST", {1, 2, 3}).Fmt(f).Chunk("data", std::vector<uint8_t>(8)).Done(), 8},
        {"data before fmt", Riff().Chunk("data", std::vector<uint8_t>(8)).Fmt(f).Done(), 8},
        {"part frame at the end", Riff().Fmt(f).Chunk("data", std::vector<uint8_t>(10)).Done(), 8},
        {"data claims more than the file holds",
         Riff().Fmt(f).Chunk("data", std::vector<uint8_t>(12), 4000).Done(), 12},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto wav = ParsePcmWav(c.image.data(), c.image.size(), &error);
        ASSERT_TRUE(wav) << c.what << ": " << error;
        EXPECT_EQ(wav->samples.size(), c.samples) << c.what;
    }
}

TEST(PcmWavFile, RefusesWhatItCannotPlayAndSaysWhere) {
    const std::vector<uint8_t> data(8);
    auto fmtWith = [](auto change) {
        WaveFormatEx f = Pcm(8000, 2, 16);
        change(f);
        return f;
    };
    const struct {
        const char* what;
        std::vector<uint8_t> image;
        const char* message;
    } cases[] = {
        {"empty", {}, "not a RIFF WAVE file (byte 0)"},
        {"not RIFF", {'R', 'I', 'F', 'X', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, "not a RIFF WAVE"},
        {"no fmt", Riff().Chunk("data", data).Done(), "no fmt chunk"},
        {"short fmt", Riff().Chunk("fmt ", std::vector<uint8_t>(14)).Chunk("data", data).Done(),
         "fmt chunk at byte 12 is 14 bytes, needs 16"},
        {"A-law", Riff().Fmt(fmtWith([](auto& f) { f.formatTag = WaveFormatALaw; })).Done(),
         "format tag 6 is not PCM"},
        {"3 channels", Riff().Fmt(Pcm(8000, 3, 16)).Chunk("data", data).Done(), "3 channels"},
        {"24 bits", Riff().Fmt(Pcm(8000, 1, 24)).Chunk("data", data).Done(), "24 bits"},
        {"block align", Riff().Fmt(fmtWith([](auto& f) { f.blockAlign = 3; })).Done(),
         "block align 3"},
        {"rate 0", Riff().Fmt(fmtWith([](auto& f) { f.samplesPerSec = 0; })).Done(),
         "sample rate 0"},
        {"no data", Riff().Fmt(Pcm(8000, 2, 16)).Done(), "no data chunk"},
        {"empty data", Riff().Fmt(Pcm(8000, 2, 16)).Chunk("data", {1, 2, 3}).Done(),
         "data chunk at byte 36 holds no whole sample frame"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParsePcmWav(c.image.data(), c.image.size(), &error)) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
    }
}

TEST(PcmWavFile, ReadsOnlyRegularFiles) {
    test::TempDir dir;
    const std::string good = dir.Write("good.wav", test::WavImage(Pcm(8000, 1, 8), {1, 2, 3, 4}));
    ASSERT_TRUE(ReadPcmWavFile(good, nullptr));
    for (const std::string& path : {dir.File(""), std::string("/dev/zero"), dir.File("none.wav")}) {
        std::string error;
        EXPECT_FALSE(ReadPcmWavFile(path, &error));
        EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    }
}

}  // namespace
}  // namespace kora486
