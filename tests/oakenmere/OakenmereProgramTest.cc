// The oakenmere program run as a user runs it: its command line, exit statuses, what it prints
// and what it leaves behind.
#include <gtest/gtest.h>
#include <regex>

#include "copying/CopyingTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Arguments = std::vector<std::string>;

struct Outcome {
    int status;
    std::string output, errors;
};

Outcome run(const Arguments& argv) {
    ChildProcess child(argv);
    const int status = child.finish();
    return {status, child.output(), child.errors()};
}

// The program, after `before` (env settings, a shell), with `arguments`.
Outcome oakenmere(const Arguments& arguments, Arguments before = {}) {
    before.push_back(oakenmereProgram().string());
    before.insert(before.end(), arguments.begin(), arguments.end());
    return run(before);
}

std::string python(const std::string& script, const fs::path& file) {
    return run({"/usr/bin/python3", "-c", "import datetime, plistlib, sys\n" + script, file.string()}).output;
}

TEST(OakenmereProgram, CommandLineMistakesAreOneLineAndExitWith2) {
    TempDir dir;
    const std::string library = dir.makeLibrary().string(), page = (dir / "page").string();
    for (const Arguments& arguments : std::vector<Arguments>{{"hash"},
                                                             {"copy", "a", "b", "c"},
                                                             {"preview", "--html", page, "--png", page, library},
                                                             {"preview", "--json", "--html", page, library},
                                                             {"preview", "--json", "--png", page, library}}) {
        Outcome out = oakenmere(arguments);
        EXPECT_TRUE(exitedWith(out.status, 2) && out.output.empty()) << arguments.back();
        EXPECT_TRUE(out.errors.starts_with("oakenmere: ") && out.errors.find('\n') == out.errors.size() - 1) << out.errors;
    }
    EXPECT_FALSE(fs::exists(page));
    Outcome unknown = oakenmere({"bogus"});
    EXPECT_TRUE(exitedWith(unknown.status, 2));
    EXPECT_EQ(unknown.errors, "oakenmere: There is no command \u201Cbogus\u201D (see oakenmere --help)\n");
}

// New libraries name the program by its bare version, so a later one's is shown as "Oakenmere 0.2.0".
TEST(OakenmereProgram, LibrariesCarryTheProgramsVersion) {
    TempDir dir;
    Outcome version = oakenmere({"--version"});
    ASSERT_TRUE(std::regex_match(version.output, std::regex("oakenmere [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.output;
    ASSERT_TRUE(exitedWith(oakenmere({"create", (dir / "New.oakenmere").string()}).status, 0));
    EXPECT_EQ("oakenmere " + python("print(plistlib.load(open(sys.argv[1], 'rb'))['formatWrittenBy'])", dir / "New.oakenmere/Info.plist"),
              version.output);

    const fs::path later = dir.makeFolder("Later.oakenmere");
    python("plistlib.dump({'formatVersion': 2, 'formatWrittenBy': '0.2.0', 'name': 'Later', 'createdAt': datetime.datetime(2031, 5, 1), "
           "'identifier': '6F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F'}, open(sys.argv[1], 'wb'), fmt=plistlib.FMT_BINARY)",
           later / "Info.plist");
    for (const char* command : {"open", "info"}) {
        Outcome out = oakenmere({command, later.string()});
        EXPECT_TRUE(exitedWith(out.status, 1)) << command;
        EXPECT_EQ(out.errors, "oakenmere: This library was made by Oakenmere 0.2.0, so this one can\u2019t open it. Open it with "
                              "0.2.0 or later; nothing in the library has been changed.\n");
    }
}

TEST(OakenmereProgram, OutputThatCannotBeWrittenIsAFailure) {
    TempDir dir;
    const std::string file = dir.writeFile("a.jpg", "first").string(), library = dir.makeLibrary().string();
    for (const Arguments& arguments : std::vector<Arguments>{{"hash", file}, {"preview", "--json", library}, {"info", library}}) {
        Outcome out = oakenmere(arguments, {"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full"});
        EXPECT_TRUE(exitedWith(out.status, 1)) << arguments.front();
        EXPECT_EQ(out.errors, "oakenmere: The output could not be written: No space left on device\n");
    }
}

// Lines sha256sum writes and reads back, escapes included; a missing file is reported and skipped.
TEST(OakenmereProgram, HashWritesWhatSha256sumWrites) {
    TempDir dir;
    Arguments files = {"hash"};
    for (const char* name : {"plain.jpg", "back\\slash.jpg", "new\nline.jpg", "carriage\rreturn.jpg"})
        files.push_back(dir.writeFile(name, name).string());
    files.push_back((dir / "missing.jpg").string());
    Outcome ours = oakenmere(files);
    files.front() = "/usr/bin/sha256sum";
    EXPECT_TRUE(exitedWith(ours.status, 1));
    EXPECT_EQ(ours.output, run(files).output);
    EXPECT_TRUE(ours.errors.starts_with("oakenmere: " + files.back() + ": ")) << ours.errors;
    Outcome check = run({"/usr/bin/sha256sum", "--check", "--strict", dir.writeFile("SUMS", ours.output).string()});
    EXPECT_TRUE(exitedWith(check.status, 0)) << check.output << check.errors;
}

TEST(OakenmereProgram, CopyPublishesOnceShowsVerifyingAndNeverReplaces) {
    TempDir dir;
    const std::string bytes = patternBytes(9'000'000, 4);  // over the progress bar's threshold
    const std::string source = dir.writeFile("card/IMG_0001.CR3", bytes).string();
    const std::string destination = (dir.makeFolder("library") / "IMG\\0001.CR3").string();
    const std::string line = "\\" + sha256Of(bytes) + "  " + dir.path().string() + "/library/IMG\\\\0001.CR3\n";

    Outcome first = oakenmere({"copy", source, destination});
    EXPECT_TRUE(exitedWith(first.status, 0) && first.errors.empty()) << first.errors;  // no bar off a terminal
    EXPECT_EQ(first.output, line);
    EXPECT_TRUE(holds(destination, bytes));
    // Even an identical destination is refused without the checksum, and taken as done with it.
    const auto copied = stateOf(destination);
    Outcome again = oakenmere({"copy", source, destination});
    EXPECT_TRUE(exitedWith(again.status, 1));
    EXPECT_EQ(again.errors, "oakenmere: A different file already exists at the destination. It was not overwritten.\n");
    EXPECT_EQ(oakenmere({"copy", "--sha256", sha256Of(bytes), source, destination}).output, line);
    EXPECT_EQ(stateOf(destination), copied);
    EXPECT_NE(oakenmere({"copy", "--help"}).output.find("even identical, is refused and left alone"), std::string::npos);

    // On a terminal the bar says "verifying" once every byte is copied, then clears its line.
    const std::string onTerminal = (dir / "library/on terminal.CR3").string();
    Outcome shown = run({"/usr/bin/script", "--quiet", "--return", "--command",
                         "'" + oakenmereProgram().string() + "' copy '" + source + "' '" + onTerminal + "'", "/dev/null"});
    EXPECT_TRUE(exitedWith(shown.status, 0));
    EXPECT_NE(shown.output.find(" verifying\r\x1b[2K"), std::string::npos) << shown.output;
    EXPECT_TRUE(holds(onTerminal, bytes));
}

// Ctrl-C or SIGTERM while Chromium (here a stand-in that signals its parent) draws the picture:
// Chromium is ended, the scratch folder removed, the destination left alone, and the exit status
// is the shell's 128 + signal.
TEST(OakenmereProgram, PngRenderingStopsCleanlyWhenInterrupted) {
    for (const auto& [signal, exitCode] : std::vector<std::pair<std::string, int>>{{"", 0}, {"SIGINT", 130}, {"SIGTERM", 143}}) {
        SCOPED_TRACE(signal);
        TempDir dir;
        const fs::path chromium = dir.writeFile(
            "bin/chromium", "#!/usr/bin/python3\nimport os, signal, sys, time\n"
                            "open([a[13:] for a in sys.argv if a.startswith('--screenshot=')][0], 'w').write('picture')\n"
                            "if '" + signal + "':\n"
                            "    signal.signal(signal.SIGTERM, lambda *_: sys.exit(open('" + (dir / "ended").string() + "', 'w').write('ended')))\n"
                            "    os.kill(os.getppid(), signal." + (signal.empty() ? "SIGINT" : signal) + ")\n"
                            "    time.sleep(30)\n");
        fs::permissions(chromium, fs::perms::owner_exec, fs::perm_options::add);
        const fs::path png = dir / "page.png";
        Outcome out = oakenmere({"preview", "--png", png.string(), dir.makeLibrary().string()},
                                {"/usr/bin/env", "PATH=" + chromium.parent_path().string() + ":/usr/bin:/bin",
                                 "TMPDIR=" + dir.makeFolder("tmp").string()});
        EXPECT_TRUE(exitedWith(out.status, exitCode)) << out.status << out.errors;
        EXPECT_TRUE(namesIn(dir / "tmp").empty());
        EXPECT_EQ(contentsOf(png), exitCode ? "" : "picture");
        EXPECT_EQ(contentsOf(dir / "ended"), exitCode ? "ended" : "");
        EXPECT_EQ(out.errors, exitCode ? "oakenmere: The operation was cancelled. Nothing was left half-done.\n" : "");
    }
}

}  // namespace
