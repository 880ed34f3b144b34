#include "shell/TemporaryFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kora486 {

std::string TemporaryDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    return tmpdir != nullptr && tmpdir[0] != '\0' ? tmpdir : "/tmp";
}

std::optional<std::string> CreateUniqueTemporaryFile(const std::string& prefix) {
    return CreateUniqueFileIn(TemporaryDirectory(), prefix);
}

std::optional<std::string> CreateUniqueFileIn(const std::string& directory,
                                              const std::string& prefix) {
    std::string folder = directory.empty() ? "." : directory;
    if (folder.back() != '/') {
        folder += '/';
    }
    const std::string pattern = folder + prefix + "XXXXXX.tmp";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkostemps(name.data(), 4, O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    close(fd);
    return std::string(name.data());
}

}  // namespace kora486
