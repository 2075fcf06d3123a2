// Hashing speed against the standard tool, in one run on the same file:
//   ours      SHA-256 through OpenSSL EVP, reading the file in 1 MiB blocks
//   sha256sum coreutils over the same file
// Both read from the page cache (the file is read once before timing), so this compares
// hashing, not the disk.
//
//   bench-sha256 [MiB]   (default 512)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>

#include "platform/file_io.h"
#include "platform/sha256.h"

using namespace oakenmere;

namespace {

double seconds(auto&& work) {
    auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string hashFile(const std::string& path) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    platform::Sha256 hasher;
    std::vector<std::uint8_t> block(1 << 20);
    for (ssize_t n; (n = ::read(fd.get(), block.data(), block.size())) > 0;) hasher.update({block.data(), static_cast<std::size_t>(n)});
    return hasher.finishHex();
}

std::string runSha256sum(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char line[256] = {};
    if (pipe == nullptr || std::fgets(line, sizeof line, pipe) == nullptr) std::exit(1);
    ::pclose(pipe);
    return std::string(line, 64);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 512;
    char dir[] = "/tmp/bench-sha256-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return 1;
    std::string path = std::string(dir) + "/data";
    {
        platform::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        std::mt19937_64 random(42);
        std::vector<std::uint64_t> block((1 << 20) / 8);
        for (std::size_t i = 0; i < mib; ++i) {
            for (auto& word : block) word = random();
            platform::writeAll(fd, {reinterpret_cast<const std::uint8_t*>(block.data()), 1 << 20}, "write");
        }
    }
    std::string warm = hashFile(path);  // brings the file into the page cache
    std::string ours, theirs;
    double oursSeconds = seconds([&] { ours = hashFile(path); });
    double theirsSeconds = seconds([&] { theirs = runSha256sum(path); });
    ::unlink(path.c_str());
    ::rmdir(dir);
    if (ours != theirs || ours != warm) {
        std::fprintf(stderr, "checksums differ: %s %s\n", ours.c_str(), theirs.c_str());
        return 1;
    }
    double megabytes = static_cast<double>(mib) * 1048576.0 / 1e6;
    std::printf("file        %zu MiB, cached\n", mib);
    std::printf("ours        %8.0f MB/s\n", megabytes / oursSeconds);
    std::printf("sha256sum   %8.0f MB/s\n", megabytes / theirsSeconds);
    std::printf("ratio       %8.2fx faster than sha256sum\n", theirsSeconds / oursSeconds);
    return 0;
}
