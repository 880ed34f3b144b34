#include "shell/DesktopMixer.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace kora486 {
namespace {

using Commands = std::vector<std::vector<std::string>>;

TEST(DesktopMixerTest, CommandsTriedForEachView) {
    EXPECT_EQ(MixerCommands(nullptr, false), (Commands{{"pavucontrol"}, {"pavucontrol-qt"}}));
    EXPECT_EQ(MixerCommands("", true),
              (Commands{{"pavucontrol", "--tab=4"}, {"pavucontrol-qt", "--tab=4"}}));
    EXPECT_EQ(MixerCommands("my-mixer  -x", false), (Commands{{"my-mixer", "-x"}}));
    EXPECT_EQ(MixerCommands("my-mixer", true), (Commands{{"my-mixer", "--record"}}));
}

// A configured mixer that leaves its arguments in a file, and one that does not exist.
TEST(DesktopMixerTest, StartsTheConfiguredMixerDetachedOrSaysItCouldNot) {
    char pattern[] = "/tmp/kora486-mixer-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path dir = pattern;
    const auto script = dir / "mixer";
    std::ofstream(script) << "#!/bin/sh\necho \"$@\" > \"" << (dir / "args").string() << ".tmp\"\n"
                          << "mv \"" << (dir / "args").string() << ".tmp\" \""
                          << (dir / "args").string() << "\"\n";
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);

    setenv(MixerVariable, script.c_str(), 1);
    ASSERT_TRUE(StartDesktopMixer(true));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!std::filesystem::exists(dir / "args") && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string args;
    std::getline(std::ifstream(dir / "args"), args);
    EXPECT_EQ(args, "--record");

    setenv(MixerVariable, (dir / "no-such-mixer").c_str(), 1);
    EXPECT_FALSE(StartDesktopMixer(false));
    unsetenv(MixerVariable);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kora486
