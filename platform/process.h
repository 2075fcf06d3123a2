#pragma once
// Running another program and waiting for it.
#include <stop_token>
#include <string>
#include <vector>

namespace oakenmere::platform {

// Runs argv[0] (looked up in PATH) with the arguments, its output discarded when `quiet`, with
// default signal handling and nothing blocked whatever this process does. A stop requested on
// `stop` sends it SIGTERM; it is still waited for. Returns its exit status, 127 when it cannot
// be started, 128 + signal when a signal ended it.
int runProcess(const std::vector<std::string>& argv, bool quiet, std::stop_token stop = {});
// True when `program` is found in PATH.
bool programExists(const std::string& program);

}  // namespace oakenmere::platform
