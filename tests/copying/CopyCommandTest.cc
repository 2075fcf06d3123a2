// `oakenmere copy` and `oakenmere hash`, run as a user would run them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "copying/CopyingTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;

struct Outcome {
    int exitCode;
    std::string output, errors;
};

Outcome oakenmere(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), oakenmereProgram().string());
    ChildProcess child(arguments);
    int status = child.finish();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, child.output(), child.errors()};
}

TEST(CopyCommand, CopiesOnceAndThenRefusesToOverwrite) {
    TempDir dir;
    const std::string bytes = patternBytes((2 << 20) + 5, 4);
    const std::string checksum = sha256Of(bytes);
    const std::string source = dir.writeFile("card/IMG_0001.CR3", bytes).string();
    const std::string destination = (dir.makeFolder("library") / "IMG_0001.CR3").string();

    Outcome first = oakenmere({"copy", source, destination});
    EXPECT_EQ(first.exitCode, 0) << first.errors;
    EXPECT_EQ(first.output, checksum + "  " + destination + "\n");
    EXPECT_TRUE(holds(destination, bytes));

    const auto copied = stateOf(destination);
    Outcome again = oakenmere({"copy", source, destination});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.output, "");
    EXPECT_EQ(again.errors, "oakenmere: A different file already exists at the destination. It was not overwritten.\n");

    // With the checksum it already holds, the destination counts as done.
    std::string upperChecksum = checksum;
    for (char& c : upperChecksum) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Outcome confirmed = oakenmere({"copy", "--sha256", upperChecksum, source, destination});
    EXPECT_EQ(confirmed.exitCode, 0) << confirmed.errors;
    EXPECT_EQ(confirmed.output, checksum + "  " + destination + "\n");
    EXPECT_EQ(stateOf(destination), copied);
    EXPECT_EQ(namesIn(dir / "library"), std::vector<std::string>{"IMG_0001.CR3"});
}

TEST(HashCommand, PrintsLinesSha256sumCanCheck) {
    TempDir dir;
    const std::string a = dir.writeFile("a.jpg", "first").string();
    const std::string empty = dir.writeFile("empty", "").string();
    const std::string missing = (dir / "missing.jpg").string();

    Outcome hashed = oakenmere({"hash", a, missing, empty});
    EXPECT_EQ(hashed.exitCode, 1);
    const std::string lines = sha256Of("first") + "  " + a + "\n" + sha256Of("") + "  " + empty + "\n";
    EXPECT_EQ(hashed.output, lines);
    EXPECT_TRUE(hashed.errors.starts_with("oakenmere: " + missing + ": ")) << hashed.errors;

    if (!fs::exists("/usr/bin/sha256sum")) GTEST_SKIP() << "no sha256sum to compare with";
    const fs::path list = dir.writeFile("SHA256SUMS", lines);
    ChildProcess check({"/usr/bin/sha256sum", "--check", "--strict", list.string()});
    int status = check.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << check.output() << check.errors();
}

}  // namespace
