#pragma once
// Running another program and waiting for it.
#include <string>
#include <vector>

namespace oakenmere::platform {

// Runs argv[0] (looked up in PATH) with the arguments, its output discarded when `quiet`.
// Returns its exit status, 127 when it cannot be started, 128 + signal when a signal ended it.
int runProcess(const std::vector<std::string>& argv, bool quiet);
// True when `program` is found in PATH.
bool programExists(const std::string& program);

}  // namespace oakenmere::platform
