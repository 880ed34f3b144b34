#include <gtest/gtest.h>

#include "platform/VirtualDevices.h"

namespace kora486 {
namespace {

// Both backends hand out names through CutDeviceName; PortAudio's can be long and non-ASCII.
TEST(CutDeviceName, KeepsAtMost31BytesAndWholeUtf8Characters) {
    const std::string thirtyOne(31, 'a');
    const struct {
        const char* what;
        std::string name;
        std::string cut;
    } cases[] = {
        {"empty", "", ""},
        {"short", "default", "default"},
        {"exactly 31", thirtyOne, thirtyOne},
        {"32", thirtyOne + "b", thirtyOne},
        {"long ALSA name", "HDA Intel PCH: ALC3246 Analog (hw:0,0)",
         "HDA Intel PCH: ALC3246 Analog ("},
        // "é" is two bytes; the second would be the 32nd.
        {"two-byte character across the cut", std::string(30, 'a') + "\xC3\xA9",
         std::string(30, 'a')},
        {"two-byte character ending at 31", std::string(29, 'a') + "\xC3\xA9" + "z",
         std::string(29, 'a') + "\xC3\xA9"},
        // A three-byte character starting at byte 30 is dropped whole.
        {"three-byte character across the cut", std::string(29, 'a') + "\xE2\x82\xAC" + "z",
         std::string(29, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CutDeviceName(c.name), c.cut);
        EXPECT_LE(CutDeviceName(c.name).size(), MaxDeviceNameLength);
    }
}

}  // namespace
}  // namespace kora486
