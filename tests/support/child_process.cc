#include "support/child_process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace oakenmere::testing {

using platform::UniqueFd;

std::filesystem::path oakenmereProgram() {
    // The link's text, not its resolution: a test executable relinked while it runs reads as
    // ".../tests/oakenmere_tests (deleted)", whose folder is still the right one.
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "oakenmere" / "oakenmere";
}

Outcome runOakenmere(const std::vector<std::string>& arguments, std::vector<std::string> before) {
    before.push_back(oakenmereProgram().string());
    before.insert(before.end(), arguments.begin(), arguments.end());
    return run(before);
}

pid_t forkRunning(const std::function<void()>& body) {
    const pid_t child = ::fork();
    if (child < 0) throw std::system_error(errno, std::generic_category(), "fork");
    if (child == 0) {
        try {
            body();
        } catch (...) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    return child;
}

int waitFor(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
    return status;
}

bool killedBy(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
bool exitedWith(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

// A pipe whose ends are closed on exec, so that other children never hold them open.
static std::pair<UniqueFd, UniqueFd> makePipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
    auto [outRead, outWrite] = makePipe();
    auto [errRead, errWrite] = makePipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
    // The child starts with default signal handling and nothing blocked, whatever the test runner did.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "posix_spawn " + argv[0]);
    outFd_ = std::move(outRead);
    errFd_ = std::move(errRead);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        try {
            waitFor(pid_);
        } catch (...) {}
    }
}

bool ChildProcess::readSome(UniqueFd& fd, std::string& into) {
    char buffer[4096];
    ssize_t got;
    do {
        got = ::read(fd.get(), buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        fd.reset();
        return false;
    }
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

bool ChildProcess::waitForLine(std::string_view line) {
    while (true) {
        for (std::size_t end; (end = out_.find('\n', scanned_)) != std::string::npos; scanned_ = end + 1)
            if (std::string_view(out_).substr(scanned_, end - scanned_) == line) {
                scanned_ = end + 1;
                return true;
            }
        if (!outFd_ || !readSome(outFd_, out_)) return false;
    }
}

Outcome run(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    const int status = child.finish();
    return {status, child.output(), child.errors()};
}

std::string python(const std::string& script, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"/usr/bin/python3", "-c", script});
    Outcome ran = run(arguments);
    if (!exitedWith(ran.status, 0)) throw std::runtime_error("python3 failed: " + ran.errors);
    return ran.output;
}

int ChildProcess::finish() {
    // The outputs are a few lines, far below a pipe's capacity, so one pipe at a time is enough.
    while (outFd_) readSome(outFd_, out_);
    while (errFd_) readSome(errFd_, err_);
    const int status = pid_ > 0 ? waitFor(pid_) : 0;
    pid_ = -1;
    return status;
}

}  // namespace oakenmere::testing
