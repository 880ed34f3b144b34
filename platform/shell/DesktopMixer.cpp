#include "shell/DesktopMixer.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

extern char** environ;

namespace kora486 {

namespace {

// Starts the command as a grandchild, so that it belongs to init once the child has reported.
bool SpawnDetached(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        setsid();
        pid_t mixer;
        _exit(posix_spawnp(&mixer, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::vector<std::vector<std::string>> MixerCommands(const char* configured, bool recordView) {
    if (configured != nullptr && configured[0] != '\0') {
        std::vector<std::string> command;
        std::istringstream words(configured);
        for (std::string word; words >> word;) {
            command.push_back(word);
        }
        if (recordView) {
            command.push_back("--record");
        }
        return {command};
    }
    std::vector<std::string> tab;
    if (recordView) {
        tab.push_back("--tab=4");
    }
    std::vector<std::vector<std::string>> commands;
    for (const char* program : {"pavucontrol", "pavucontrol-qt"}) {
        std::vector<std::string> command{program};
        command.insert(command.end(), tab.begin(), tab.end());
        commands.push_back(command);
    }
    return commands;
}

bool StartDesktopMixer(bool recordView) {
    for (const auto& command : MixerCommands(std::getenv(MixerVariable), recordView)) {
        if (!command.empty() && SpawnDetached(command)) {
            return true;
        }
    }
    return false;
}

}  // namespace kora486
