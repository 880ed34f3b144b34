#include "platform/VirtualSinks.h"

#include <gtest/gtest.h>

#include "VirtualTestSupport.h"
#include "platform/PcmWavFile.h"

namespace kora486 {
namespace {

using test::Pcm;

TEST(MemorySink, KeepsEveryBufferInOrderAcrossOpens) {
    auto recording = std::make_shared<MemoryRecording>();
    const std::vector<uint8_t> a = {1, 2, 3}, b = {4}, c = {5, 6};
    for (const WaveFormatEx& format : {Pcm(8000, 1, 8), Pcm(44100, 2, 16)}) {
        auto sink = MakeMemorySink(recording);
        sink->Open(format);
        EXPECT_TRUE(recording->IsOpen());
        EXPECT_EQ(recording->Format(), format);
        sink->Consume(a.data(), 3);
        sink->Consume(b.data(), 1);
        sink->Consume(c.data(), 2);
        sink->Close();
        EXPECT_FALSE(recording->IsOpen());
    }
    EXPECT_EQ(recording->Bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}));
    recording->Clear();
    EXPECT_EQ(recording->Size(), 0u);
}

TEST(WavFileSink, WritesAFileTheReaderTakesBack) {
    test::TempDir dir;
    const struct {
        WaveFormatEx format;
        std::vector<uint8_t> first, second;
    } cases[] = {
        {Pcm(8000, 1, 8), {1, 2, 3}, {4, 5, 6, 7, 8}},  // odd: a pad byte follows
        {Pcm(44100, 2, 16), {1, 2, 3, 4}, {5, 6, 7, 8, 9, 10, 11, 12}},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File("out.wav");
        auto sink = MakeWavFileSink(path);
        sink->Open(c.format);
        sink->Consume(c.first.data(), uint32_t(c.first.size()));
        sink->Consume(c.second.data(), uint32_t(c.second.size()));
        sink->Close();
        EXPECT_FALSE(sink->Failure()) << *sink->Failure();

        std::vector<uint8_t> played = c.first;
        played.insert(played.end(), c.second.begin(), c.second.end());
        const auto bytes = test::ReadAll(path);
        EXPECT_EQ(bytes, test::WavImage(c.format, played));
        std::string error;
        const auto wav = ParsePcmWav(bytes.data(), bytes.size(), &error);
        ASSERT_TRUE(wav) << error;
        EXPECT_EQ(wav->format, c.format);
        EXPECT_EQ(wav->samples, played);
    }
}

TEST(WavFileSink, ReportsAFileItCannotCreate) {
    test::TempDir dir;
    const std::string path = dir.File("no/such/dir/out.wav");
    auto sink = MakeWavFileSink(path);
    const uint8_t byte = 0;
    sink->Open(Pcm(8000, 1, 8));
    sink->Consume(&byte, 1);
    sink->Close();
    ASSERT_TRUE(sink->Failure());
    EXPECT_NE(sink->Failure()->find(path), std::string::npos) << *sink->Failure();
}

}  // namespace
}  // namespace kora486
