#pragma once
// Runs work in a forked child under hard resource limits, so a test can prove that hostile
// input costs little without timing anything: the kernel stops a child that overruns.
#include <functional>

namespace oakenmere::testing {

struct ResourceBound {
    int cpuSeconds = 1;         // RLIMIT_CPU: SIGXCPU past it
    long extraMegabytes = 100;  // RLIMIT_AS above what the child has mapped when it starts
};

// True when `body` returned within the bounds (its own failures count as false). Under
// AddressSanitizer, whose shadow memory makes address-space limits meaningless, only the CPU
// bound applies.
bool finishesWithin(const ResourceBound& bound, const std::function<void()>& body);

}  // namespace oakenmere::testing
