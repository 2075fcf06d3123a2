#include "support/resource_bound.h"

#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

#include "support/child_process.h"

namespace oakenmere::testing {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSpaceIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSpaceIsMeaningful = false;
#else
constexpr bool kAddressSpaceIsMeaningful = true;
#endif
#else
constexpr bool kAddressSpaceIsMeaningful = true;
#endif

long mappedBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    statm >> pages;
    return pages * ::sysconf(_SC_PAGESIZE);
}

void limit(int resource, rlim_t value) {
    rlimit bound{value, value};
    if (::setrlimit(resource, &bound) != 0) ::_exit(2);
}

}  // namespace

bool finishesWithin(const ResourceBound& bound, const std::function<void()>& body) {
    pid_t child = forkRunning([&] {
        limit(RLIMIT_CPU, static_cast<rlim_t>(bound.cpuSeconds));
        if (kAddressSpaceIsMeaningful) limit(RLIMIT_AS, static_cast<rlim_t>(mappedBytes() + (bound.extraMegabytes << 20)));
        body();
    });
    return exitedWith(waitFor(child), 0);
}

}  // namespace oakenmere::testing
