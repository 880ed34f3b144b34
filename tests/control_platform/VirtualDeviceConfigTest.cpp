#include "platform/VirtualDeviceConfig.h"

#include <gtest/gtest.h>

#include "VirtualTestSupport.h"

namespace kora486 {
namespace {

using test::Pcm;

// The peak of the first 100 ms the configured input captures at 8000 Hz, 16-bit mono.
int32_t FirstPeak(const VirtualDeviceConfig& config) {
    const WaveFormatEx f = Pcm(8000, 1, 16);
    std::vector<uint8_t> data(1600);
    auto source = config.makeSource();
    source->Fill(data.data(), uint32_t(data.size()), f);
    int32_t peak = 0;
    for (size_t i = 0; i < data.size(); i += 2) {
        peak = std::max(peak, std::abs(int32_t(test::SampleAt(&data[i]))));
    }
    return peak;
}

TEST(VirtualDeviceConfig, ReadsGoodValues) {
    test::TempDir dir;
    const std::string wav =
        dir.Write("in.wav", test::WavImage(Pcm(8000, 1, 16), test::Le16({-1234, 99})));
    const std::string wavInput = "wav:" + wav;
    const struct {
        const char* input;
        const char* output;
        const char* clock;
        int32_t peak;
        VirtualClock expectedClock;
    } cases[] = {
        {nullptr, nullptr, nullptr, PeakSampleForLevel(-12, 16), VirtualClock::RealTime},
        {"", "", "", PeakSampleForLevel(-12, 16), VirtualClock::RealTime},
        {"silence", "discard", "fast", 0, VirtualClock::Fast},
        {"sine:2000:-6", nullptr, "realtime", PeakSampleForLevel(-6, 16), VirtualClock::RealTime},
        {"sine:1e3:-inf", nullptr, nullptr, 0, VirtualClock::RealTime},
        {"levels:-20", nullptr, nullptr, PeakSampleForLevel(-20, 16), VirtualClock::RealTime},
        {"levels:-9999,-6,0", nullptr, nullptr, 0, VirtualClock::RealTime},
        {wavInput.c_str(), "wav:/tmp/out.wav", nullptr, 1234, VirtualClock::RealTime},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input ? c.input : "(unset)");
        std::string error;
        const auto config = VirtualDeviceConfig::FromStrings(c.input, c.output, c.clock, &error);
        ASSERT_TRUE(config) << error;
        EXPECT_EQ(config->clock, c.expectedClock);
        ASSERT_TRUE(config->makeSource);
        ASSERT_TRUE(config->makeSink);
        EXPECT_TRUE(config->makeSink());
        EXPECT_EQ(FirstPeak(*config), c.peak);
        EXPECT_EQ(config->inputs.size(), 1u);
        EXPECT_EQ(config->outputs.size(), 1u);
    }
}

TEST(VirtualDeviceConfig, NamesTheVariableAndTheValueOfABadOne) {
    const struct {
        const char* input;
        const char* output;
        const char* clock;
        const char* message;
    } cases[] = {
        {"noise", nullptr, nullptr,
         "KORA486_VIRTUAL_INPUT=\"noise\": expected silence, sine:FREQ:DBFS, wav:PATH or "
         "levels:DB,DB,..."},
        {"Silence", nullptr, nullptr, "KORA486_VIRTUAL_INPUT=\"Silence\": expected"},
        {"sine", nullptr, nullptr, "expected silence"},
        {"sine:1000", nullptr, nullptr, "expected sine:FREQ:DBFS"},
        {"sine:abc:-12", nullptr, nullptr, "the frequency \"abc\" is not a number"},
        {"sine:0:-12", nullptr, nullptr, "the frequency \"0\""},
        {"sine:nan:-12", nullptr, nullptr, "the frequency \"nan\""},
        {"sine:+440:-12", nullptr, nullptr, "the frequency \"+440\""},
        {"sine:440:", nullptr, nullptr, "the level \"\" is not a number"},
        {"sine:440:3", nullptr, nullptr, "the level \"3\" is above 0 dBFS"},
        {"sine:440:-6:1", nullptr, nullptr, "the level \"-6:1\""},
        {"levels:", nullptr, nullptr, "level 1 \"\" is not a number"},
        {"levels:-6,,-3", nullptr, nullptr, "level 2 \"\""},
        {"levels:-6,-3dB", nullptr, nullptr, "level 2 \"-3dB\""},
        {"wav:", nullptr, nullptr, "the path after wav: is empty"},
        {"wav:/no/such/file.wav", nullptr, nullptr,
         "KORA486_VIRTUAL_INPUT=\"wav:/no/such/file.wav\": /no/such/file.wav: No such file"},
        {"sine:\x01\xff:1", nullptr, nullptr, "KORA486_VIRTUAL_INPUT=\"sine:\\x01\\xff:1\""},
        {nullptr, "speaker", nullptr,
         "KORA486_VIRTUAL_OUTPUT=\"speaker\": expected discard or wav:PATH"},
        {nullptr, "wav:", nullptr, "KORA486_VIRTUAL_OUTPUT=\"wav:\": the path after wav: is empty"},
        {nullptr, nullptr, "manual", "KORA486_VIRTUAL_CLOCK=\"manual\": expected realtime or fast"},
        {nullptr, nullptr, "fast ", "KORA486_VIRTUAL_CLOCK=\"fast \""},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(VirtualDeviceConfig::FromStrings(c.input, c.output, c.clock, &error));
        EXPECT_NE(error.find(c.message), std::string::npos) << "got: " << error;
    }
}

TEST(VirtualDeviceConfig, ShowsLongValuesCut) {
    const std::string value(5000, 'x');
    std::string error;
    EXPECT_FALSE(VirtualDeviceConfig::FromStrings(value.c_str(), nullptr, nullptr, &error));
    EXPECT_NE(error.find("\"" + std::string(200, 'x') + "...\""), std::string::npos);
    EXPECT_LT(error.size(), 400u);
}

TEST(DefaultVirtualFormatRule, TakesPlainPcmOnly) {
    EXPECT_TRUE(DefaultVirtualFormatRule(Pcm(44100, 2, 16)));
    WaveFormatEx extra = Pcm(44100, 2, 16);
    extra.cbSize = 22;  // extra bytes are not read; the fields above decide
    EXPECT_TRUE(DefaultVirtualFormatRule(extra));
    EXPECT_FALSE(DefaultVirtualFormatRule(WaveFormatEx{}));
}

}  // namespace
}  // namespace kora486
