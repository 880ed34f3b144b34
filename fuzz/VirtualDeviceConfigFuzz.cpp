// The parser of the KORA486_VIRTUAL_* variables: the input holds the three values separated by
// NUL bytes; any of them is either taken or refused with a message, and a taken input plays.
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/VirtualDeviceConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> values(3);
    size_t field = 0;
    for (size_t i = 0; i < size && field < values.size(); ++i) {
        if (data[i] == 0) {
            ++field;
        } else {
            values[field] += static_cast<char>(data[i]);
        }
    }
    // A wav: input reads a file; the file reader has its own target, so paths stay out of this
    // one and the run does not depend on the machine's files.
    if (values[0].rfind("wav:", 0) == 0) {
        return 0;
    }
    std::string error;
    const auto config = kora486::VirtualDeviceConfig::FromStrings(
        values[0].c_str(), values[1].c_str(), values[2].c_str(), &error);
    if (!config) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    const kora486::WaveFormatEx stereo16{kora486::WaveFormatPcm, 2, 48000, 192000, 4, 16, 0};
    uint8_t block[4096];
    auto source = config->makeSource();
    source->Fill(block, sizeof block, stereo16);
    source->Fill(block, sizeof block, stereo16);
    return 0;
}
