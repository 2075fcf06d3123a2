#include "platform/process.h"

#include "platform/posix_error.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace oakenmere::platform {

int runProcess(const std::vector<std::string>& argv, bool quiet, std::stop_token stop) {
    if (argv.empty()) return 127;
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return 127;
    bool ready = true;
    if (quiet) {
        ready = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
                posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;
    }
    // An interrupt watcher blocks SIGINT and SIGTERM here; the program must still die of them.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return 127;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    ready = ready && posix_spawnattr_setsigmask(&attributes, &none) == 0 && posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
            posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    pid_t pid = 0;
    int rc = ready ? ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ) : EINVAL;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return 127;

    {
        // Waiting without reaping keeps the id ours until the callback can no longer run.
        // A failed kill changes nothing: the program is waited for either way.
        std::stop_callback terminate(stop, [pid] { static_cast<void>(::kill(pid, SIGTERM)); });
        siginfo_t info{};
        (void)retryingInterrupted([&] { return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT); });
    }
    int status = 0;
    if (retryingInterrupted([&] { return ::waitpid(pid, &status, 0); }) < 0) return 127;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 127;
}

bool programExists(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
    }
    return false;
}

}  // namespace oakenmere::platform
