#pragma once
// Another program run by a test, with its standard output and error on pipes, and the
// oakenmere program built beside the test executable.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/unique_fd.h"

namespace oakenmere::testing {

// What a program run to its end left: its wait status and both outputs.
struct Outcome {
    int status;
    std::string output, errors;
};
Outcome run(const std::vector<std::string>& argv);
// The output of python3 -c `script` with `arguments`; throws with its errors when it fails.
std::string python(const std::string& script, std::vector<std::string> arguments);

// build/oakenmere/oakenmere for a test executable at build/tests/oakenmere_tests, in whichever
// build folder the tests were built.
std::filesystem::path oakenmereProgram();
// The program, after `before` (env settings, a shell), with `arguments`, run to its end.
Outcome runOakenmere(const std::vector<std::string>& arguments, std::vector<std::string> before = {});

// Runs `body` in a forked copy of this process, which exits with 0 when it returns and 1 when it
// throws, and never returns into the test runner. Returns the child's id.
pid_t forkRunning(const std::function<void()>& body);
// Reaps the child; returns its wait status.
int waitFor(pid_t child);
bool killedBy(int status, int signal);
bool exitedWith(int status, int code);

class ChildProcess {
public:
    // Starts argv[0] (a path, not looked up) with stdin on /dev/null. Throws if it cannot start.
    explicit ChildProcess(const std::vector<std::string>& argv);
    // A child still running is killed and reaped, so none outlives its test.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const noexcept { return pid_; }
    // Reads standard output until a whole line equal to `line` has come; false when the output
    // ends first. Everything read is kept in output().
    bool waitForLine(std::string_view line);
    // Reads both pipes to their end, then reaps the child; returns the wait status.
    int finish();

    const std::string& output() const noexcept { return out_; }
    const std::string& errors() const noexcept { return err_; }

private:
    // Appends what one read gives; at the end of the output, or on an error, closes `fd`.
    static bool readSome(platform::UniqueFd& fd, std::string& into);

    pid_t pid_ = -1;
    platform::UniqueFd outFd_, errFd_;
    std::size_t scanned_ = 0;
    std::string out_;
    std::string err_;
};

}  // namespace oakenmere::testing
