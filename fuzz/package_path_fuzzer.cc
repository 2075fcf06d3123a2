// Arbitrary relative paths joined inside a package: whatever joined() accepts stays strictly
// beneath the root, has no empty, "." or ".." piece, and the classifiers never crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "LibraryBundle/core/package_path.h"

using namespace oakenmere;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace PackagePath = LibraryBundle::PackagePath;
    std::string relative(reinterpret_cast<const char*>(data), size);
    const std::filesystem::path root = "/library/Root.oakenmere";
    (void)PackagePath::isImportStatePath(relative);
    (void)PackagePath::isJobWorkingLink(relative);
    auto joined = PackagePath::joined(relative, root);
    if (!joined) return 0;
    std::string text = joined->string();
    if (text.compare(0, root.string().size() + 1, root.string() + "/") != 0) std::abort();
    auto normal = joined->lexically_normal().lexically_relative(root);
    if (normal.empty() || *normal.begin() == "..") std::abort();
    for (const auto& piece : joined->lexically_relative(root))
        if (piece.empty() || piece == "." || piece == "..") std::abort();
    return 0;
}
