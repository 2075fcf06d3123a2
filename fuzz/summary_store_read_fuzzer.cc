// Arbitrary bytes as a library package: the input is split on the separator "\n@@@@\n" into
// "Info.plist", "Summary.json" and "Summary.jpg" (a missing part leaves that file out). Reading
// never crashes, fails only with the errors the store names, and never writes.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "platform/decoding_error.h"
#include "platform/file_io.h"

using namespace oakenmere;

namespace {

const std::filesystem::path& package() {
    static const std::filesystem::path path = [] {
        char pattern[] = "/tmp/summary-store-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        std::filesystem::path p = std::filesystem::path(pattern) / "Fuzz.oakenmere";
        std::filesystem::create_directory(p);
        return p;
    }();
    return path;
}

void place(const std::string& name, std::string_view bytes, bool present) {
    auto path = package() / name;
    ::unlink(path.c_str());
    if (!present) return;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    if (!bytes.empty() && ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    static constexpr std::string_view kSeparator = "\n@@@@\n";
    const char* names[] = {"Info.plist", "Summary.json", "Summary.jpg"};
    std::size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        bool present = start <= input.size();
        std::size_t end = present ? input.find(kSeparator, start) : std::string_view::npos;
        std::string_view part = present ? input.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start) : "";
        place(names[i], part, present);
        start = end == std::string_view::npos ? input.size() + 1 : end + kSeparator.size();
    }

    auto before = oakenmere::platform::listDirectory(package());
    try {
        LibraryBundle::LibraryPreviewSummaryStore store;
        auto preview = store.read(package());
        if (preview.name.empty()) std::abort();
        if (preview.summary && !preview.summary->isValid()) std::abort();
        if (preview.contactSheet && (preview.contactSheet->size() < 3 || (*preview.contactSheet)[0] != 0xFF)) std::abort();
    } catch (const LibraryBundle::LibraryBundleError&) {
    } catch (const std::system_error&) {
    } catch (const oakenmere::platform::DecodingError&) {}
    if (oakenmere::platform::listDirectory(package()) != before) std::abort();  // reading must not write
    return 0;
}
