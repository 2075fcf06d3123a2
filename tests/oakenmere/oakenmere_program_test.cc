// The oakenmere program run as a user runs it: its command line, exit statuses, what it prints
// and what it leaves behind.
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "copying/copying_test_support.h"
#include "platform/interrupt.h"
#include "platform/unique_fd.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace oakenmere;

namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Arguments = std::vector<std::string>;

// Each refused before anything is read or made: a library name is one entry of its folder, a
// checksum 64 hexadecimal digits, a path never empty.
TEST(OakenmereProgram, CommandLineMistakesAreOneLineAndExitWith2) {
    TempDir dir;
    const std::string library = dir.makeLibrary().string(), page = (dir / "page").string();
    const std::string folder = dir.makeFolder("inside").string(), source = dir.writeFile("a.jpg", "first").string();
    const std::string copy = (dir / "inside/a.jpg").string();
    const std::string absolute = (dir / "Absolute").string(), hex63(63, 'a'), notHex(64, 'g');
    // clang-format off
    for (const Arguments& arguments : std::vector<Arguments>{
             {"bogus"}, {"hash"}, {"hash", ""}, {"copy", "a", "b", "c"}, {"copy", source, ""},
             {"preview", "--html", page, "--png", page, library}, {"preview", "--json", "--html", page, library},
             {"preview", "--json", "--png", page, library}, {"create", folder, "--name", "../Escaped"},
             {"create", folder, "--name", absolute}, {"create", folder, "--name", "a/b"}, {"create", folder, "--name", ".."},
             {"create", folder, "--name", "."}, {"create", folder, "--name", ""}, {"copy", "--sha256", "nothex", source, copy},
             {"copy", "--sha256", hex63, source, copy}, {"copy", "--sha256", notHex, source, copy}}) {
        // clang-format on
        Outcome out = runOakenmere(arguments);
        EXPECT_TRUE(exitedWith(out.status, 2) && out.output.empty()) << arguments.back();
        EXPECT_TRUE(out.errors.starts_with("oakenmere: ") && out.errors.find('\n') == out.errors.size() - 1) << out.errors;
    }
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"Holiday.oakenmere", "a.jpg", "inside"}));
    EXPECT_TRUE(namesIn(folder).empty());
    EXPECT_EQ(runOakenmere({"bogus"}).errors, "oakenmere: There is no command \u201Cbogus\u201D (see oakenmere --help)\n");
}

// A name or writer that holds terminal controls (a title, a cleared screen, reversed text)
// reaches the terminal escaped, on stdout and in errors alike; JSON stays JSON.
TEST(OakenmereProgram, LibraryTextCannotSteerTheTerminal) {
    TempDir dir;
    const std::string hostile = "Bad\x1b]0;owned\x07\x1b[2J\r\u202Egpj.exe", library = (dir / (hostile + ".oakenmere")).string();
    std::vector<Outcome> outcomes = {runOakenmere({"create", dir.path().string(), "--name", hostile}), runOakenmere({"info", library}),
                                     runOakenmere({"open", library})};
    // Records from another writer, one this version reads and one from a later version.
    for (const auto& [name, version] : {std::pair{"Written.oakenmere", 1}, std::pair{"Later.oakenmere", 2}})
        outcomes.push_back(runOakenmere({"info", dir.makeLibrary(name, {.formatVersion = version, .formatWrittenBy = hostile}).string()}));
    outcomes.push_back(runOakenmere({"open", (dir / "Later.oakenmere").string()}));
    for (const Outcome& out : outcomes) {
        const std::string shown = out.output + out.errors;
        EXPECT_NE(shown.find("Bad\\x1B]0;owned\\x07\\x1B[2J\\r\\u{202E}gpj.exe"), std::string::npos) << shown;
        EXPECT_TRUE(shown.find_first_of("\x1b\x07\r") == std::string::npos && shown.find("\u202E") == std::string::npos) << shown;
    }
    const std::string json = runOakenmere({"info", "--json", (dir / "Written.oakenmere").string()}).output;
    EXPECT_NE(json.find("\"formatWrittenBy\": \"Bad\\u001b]0;owned\\u0007"), std::string::npos) << json;
}

// A link to a library, a package whose "Info.plist" is missing or a link: every command that
// reads a library says the same sentence.
TEST(OakenmereProgram, WhatIsNotALibraryIsRefusedAlike) {
    TempDir dir;
    const fs::path real = dir.makeLibrary("Real.oakenmere");
    for (const fs::path& library : {dir.makeSymlink(real, "Link.oakenmere"), dir.makeFolder("Missing.oakenmere"),
                                    dir.makeSymlink(real / "Info.plist", "Linked.oakenmere/Info.plist").parent_path()})
        for (Arguments arguments : std::vector<Arguments>{{"preview"}, {"preview", "--json"}, {"open"}, {"info"}}) {
            arguments.push_back(library.string());
            Outcome out = runOakenmere(arguments);
            EXPECT_TRUE(exitedWith(out.status, 1)) << arguments[1];
            EXPECT_EQ(out.errors, "oakenmere: This folder is not a library Oakenmere can open.\n") << arguments[1];
        }
}

// New libraries name the program by its bare version (messages put "Oakenmere" before it).
TEST(OakenmereProgram, LibrariesCarryTheProgramsVersion) {
    TempDir dir;
    Outcome version = runOakenmere({"--version"});
    ASSERT_TRUE(std::regex_match(version.output, std::regex("oakenmere [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.output;
    ASSERT_TRUE(exitedWith(runOakenmere({"create", (dir / "New.oakenmere").string()}).status, 0));
    EXPECT_EQ("oakenmere " + python("import plistlib, sys; print(plistlib.load(open(sys.argv[1], 'rb'))['formatWrittenBy'])",
                                    {(dir / "New.oakenmere/Info.plist").string()}),
              version.output);

    const fs::path later = dir.makeFolder("Later.oakenmere");
    python(
        "import datetime, plistlib, sys\n"
        "plistlib.dump({'formatVersion': 2, 'formatWrittenBy': '0.2.0', 'name': 'Later', 'createdAt': datetime.datetime(2031, 5, 1), "
        "'identifier': '6F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F'}, open(sys.argv[1], 'wb'), fmt=plistlib.FMT_BINARY)",
        {(later / "Info.plist").string()});
    EXPECT_EQ(runOakenmere({"open", later.string()}).errors,
              "oakenmere: This library was made by Oakenmere 0.2.0, so this one can\u2019t open it. Open it with "
              "0.2.0 or later; nothing in the library has been changed.\n");
}

TEST(OakenmereProgram, OutputThatCannotBeWrittenIsAFailure) {
    TempDir dir;
    const std::string file = dir.writeFile("a.jpg", "first").string(), library = dir.makeLibrary().string();
    for (const Arguments& arguments : std::vector<Arguments>{{"hash", file}, {"preview", "--json", library}, {"info", library}}) {
        Outcome out = runOakenmere(arguments, {"/bin/sh", "-c", "exec \"$0\" \"$@\" > /dev/full"});
        EXPECT_TRUE(exitedWith(out.status, 1)) << arguments.front();
        EXPECT_EQ(out.errors, "oakenmere: The output could not be written: No space left on device\n");
    }
}

// The lines sha256sum writes, escapes included; a missing file is reported and skipped.
TEST(OakenmereProgram, HashWritesWhatSha256sumWrites) {
    TempDir dir;
    Arguments files = {"hash"};
    for (const char* name : {"plain.jpg", "back\\slash.jpg", "new\nline.jpg", "carriage\rreturn.jpg"})
        files.push_back(dir.writeFile(name, name).string());
    files.push_back((dir / "missing.jpg").string());
    Outcome ours = runOakenmere(files);
    files.front() = "/usr/bin/sha256sum";
    EXPECT_TRUE(exitedWith(ours.status, 1));
    EXPECT_EQ(ours.output, run(files).output);
    EXPECT_TRUE(ours.errors.starts_with("oakenmere: " + files.back() + ": ")) << ours.errors;
}

TEST(OakenmereProgram, CopyPublishesOnceShowsVerifyingAndNeverReplaces) {
    TempDir dir;
    const std::string bytes = patternBytes(9'000'000, 4);  // over the progress bar's threshold
    const std::string source = dir.writeFile("card/IMG_0001.CR3", bytes).string();
    const std::string destination = (dir.makeFolder("library") / "IMG\\0001.CR3").string();
    const std::string line = "\\" + sha256Of(bytes) + "  " + dir.path().string() + "/library/IMG\\\\0001.CR3\n";

    Outcome first = runOakenmere({"copy", source, destination});
    EXPECT_TRUE(exitedWith(first.status, 0) && first.errors.empty()) << first.errors;  // no bar off a terminal
    EXPECT_EQ(first.output, line);
    EXPECT_TRUE(holds(destination, bytes));
    // Even an identical destination is refused without the checksum, and taken as done with it.
    const auto copied = stateOf(destination);
    EXPECT_TRUE(exitedWith(runOakenmere({"copy", source, destination}).status, 1));  // its words: Errors.MessagesWordForWord
    EXPECT_EQ(runOakenmere({"copy", "--sha256", sha256Of(bytes), source, destination}).output, line);
    EXPECT_EQ(stateOf(destination), copied);

    // On a terminal the bar says "verifying" once every byte is copied, then clears its line.
    const std::string onTerminal = (dir / "library/on terminal.CR3").string();
    Outcome shown = run({"/usr/bin/script", "--quiet", "--return", "--command",
                         "'" + oakenmereProgram().string() + "' copy '" + source + "' '" + onTerminal + "'", "/dev/null"});
    EXPECT_TRUE(exitedWith(shown.status, 0));
    EXPECT_NE(shown.output.find(" verifying\r\x1b[2K"), std::string::npos) << shown.output;
    EXPECT_TRUE(holds(onTerminal, bytes));
}

// A source touched while it is copied: the complete copy is kept, and the message says where.
TEST(OakenmereProgram, KeptCopySaysWhereItIs) {
    TempDir dir;
    const fs::path source = dir.writeFile("card/IMG_0002.CR3", patternBytes(64 << 20, 5)), library = dir.makeFolder("library");
    // The touch must land while the copy runs; a copy that finished first is simply tried again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        ChildProcess child({oakenmereProgram().string(), "copy", source.string(), (library / std::to_string(attempt)).string()});
        const auto watchdog = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (namesIn(library).size() == static_cast<std::size_t>(attempt) && std::chrono::steady_clock::now() < watchdog) {}
        fs::last_write_time(source, fs::file_time_type::clock::now());
        if (exitedWith(child.finish(), 0)) continue;
        std::smatch kept;
        ASSERT_TRUE(std::regex_match(child.errors(), kept,
                                     std::regex("oakenmere: The file changed or was removed while it was copied\\. "
                                                "The copy made of it is kept\\. It is \u201C(.*)\u201D\\.\n")))
            << child.errors();
        EXPECT_TRUE(kept[1].str().starts_with((library / ".kept-").string())) << kept[1];
        EXPECT_TRUE(holds(kept[1].str(), contentsOf(source)));
        return;
    }
    FAIL() << "every copy finished before its source was touched";
}

// Ctrl-C or SIGTERM while Chromium (here a stand-in that signals its parent) draws the picture:
// Chromium is ended, the scratch folder removed, the destination left alone, and the exit status
// is the shell's 128 + signal.
TEST(OakenmereProgram, PngRenderingStopsCleanlyWhenInterrupted) {
    for (const auto& [signal, exitCode] : std::vector<std::pair<std::string, int>>{{"", 0}, {"SIGINT", 130}, {"SIGTERM", 143}}) {
        SCOPED_TRACE(signal);
        TempDir dir;
        // It sends SEND (if set) to its parent and, ended with SIGTERM, leaves "ended" beside itself.
        const fs::path chromium =
            dir.writeFile("bin/chromium",
                          "#!/usr/bin/python3\nimport os, signal, sys, time\n"
                          "open([a[13:] for a in sys.argv if a.startswith('--screenshot=')][0], 'w').write('picture')\n"
                          "if os.environ['SEND']:\n"
                          "    signal.signal(signal.SIGTERM, lambda *_: sys.exit(open(sys.argv[0] + '-ended', 'w').write('ended')))\n"
                          "    os.kill(os.getppid(), getattr(signal, os.environ['SEND']))\n"
                          "    time.sleep(30)\n");
        fs::permissions(chromium, fs::perms::owner_exec, fs::perm_options::add);
        const fs::path png = dir / "page.png";
        Outcome out = runOakenmere({"preview", "--png", png.string(), dir.makeLibrary().string()},
                                   {"/usr/bin/env", "PATH=" + chromium.parent_path().string() + ":/usr/bin:/bin", "SEND=" + signal,
                                    "TMPDIR=" + dir.makeFolder("tmp").string()});
        EXPECT_TRUE(exitedWith(out.status, exitCode)) << out.status << out.errors;
        EXPECT_TRUE(namesIn(dir / "tmp").empty());
        EXPECT_EQ(contentsOf(png), exitCode ? "" : "picture");
        EXPECT_EQ(contentsOf(dir / "bin/chromium-ended"), exitCode ? "ended" : "");
        EXPECT_EQ(out.errors, exitCode ? "oakenmere: The operation was cancelled. Nothing was left half-done.\n" : "");
    }
}

// Runs `work` interruptibly in a child and sends `signal` once the work calls the `stuck` it is
// given, which never returns. The child's wait status: SIGALRM's if its 10 s alarm ended it instead.
int statusOfStuckRun(int signal, const std::function<void(const std::function<void()>& stuck)>& work) {
    int ready[2] = {-1, -1}, stuck[2] = {-1, -1};
    const bool made = ::pipe(ready) == 0 && ::pipe(stuck) == 0;
    platform::UniqueFd readyIn(ready[0]), readyOut(ready[1]), stuckIn(stuck[0]), stuckOut(stuck[1]);
    if (!made) return -1;
    const pid_t child = forkRunning([&] {
        ::alarm(10);
        oakenmere::platform::runInterruptibly(
            [&](std::stop_token) {
                work([&] {
                    char byte = 'r';
                    static_cast<void>(::write(readyOut.get(), &byte, 1));
                    static_cast<void>(::read(stuckIn.get(), &byte, 1));  // this process holds the writing end: never returns
                });
            },
            [] {});
    });
    readyOut.reset();  // a child that ends without getting stuck ends the wait below
    char byte = 0;
    if (::read(readyIn.get(), &byte, 1) == 1) ::kill(child, signal);  // the signals are the runner's now
    return waitFor(child);
}

TEST(OakenmereProgram, SignalsEndWorkStuckInABlockingCall) {
    for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}})
        EXPECT_TRUE(exitedWith(statusOfStuckRun(signal, [](const auto& stuck) { stuck(); }), status)) << signal;

    // A copy stuck once its bytes are written (a long flush, say) still takes its partial file away.
    TempDir dir;
    dir.writeFile("source.raw", std::string(1 << 20, 'b'));
    dir.makeFolder("Masters");
    const int copied = statusOfStuckRun(SIGINT, [&](const auto& stuck) {
        LibraryBundle::VerifiedFileCopy copier;
        copier.fault = [&](LibraryBundle::VerifiedFileCopy::Checkpoint point) {
            if (point == LibraryBundle::VerifiedFileCopy::Checkpoint::wroteCopy) stuck();
        };
        copier.copyMeasuring(dir / "source.raw", dir / "Masters/source.raw", std::nullopt);
    });
    EXPECT_TRUE(exitedWith(copied, 130)) << copied;
    EXPECT_TRUE(fs::is_empty(dir / "Masters"));
}

}  // namespace

namespace {

// A job written by python's json module and half done, a job.json cut short, and a library held
// open elsewhere: `jobs` still reads it, `--finish` waits for it to be free, and `--retry` runs
// only a job it can read.
TEST(OakenmereProgram, JobsShowsHowFarEachJobHasGotAndFinishesOne) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", area = library / "Staging/FolderCopies";
    ASSERT_TRUE(exitedWith(runOakenmere({"create", library.string()}).status, 0));
    const std::string id = "6F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F", lib = library.string();
    dir.makeFolder(area / "00000000-0000-0000-0000-000000000001");
    dir.writeFile(area / "00000000-0000-0000-0000-000000000001/job.json", "{\"id\": \"00000000");
    python(
        "import json, os, sys\nd = sys.argv[1]; os.makedirs(d)\n"
        "json.dump({'id': sys.argv[2].lower(), 'destination': '/photos/2026', 'unknown': 1, 'copies': ["
        "{'source': '/card/a.jpg', 'relativePath': 'a.jpg', 'byteCount': 3000000},"
        "{'source': '/card/b.jpg', 'relativePath': 'b.jpg', 'byteCount': 5000000}]}, open(d + '/job.json', 'w'))\n"
        "open(d + '/.copied.jsonl', 'w').write(json.dumps({'changedNanoseconds': 0, 'changedSeconds': 1, 'destination': "
        "'/photos/2026/a.jpg', 'device': 1, 'duplicate': False, 'inode': 5, 'modifiedNanoseconds': 0, 'modifiedSeconds': 1, "
        "'sha256': 'ab', 'size': 3000000, 'source': '/card/a.jpg'}) + '\\n{\"torn')",
        {(area / id).string(), id});
    EXPECT_EQ(runOakenmere({"jobs", lib}).output,
              "00000000-0000-0000-0000-000000000001  (unreadable job.json)\n" + id + "  /photos/2026\n    1 of 2 files, 3 MB of 8 MB\n");
    EXPECT_EQ(python("import json, sys; print([(j['id'], j.get('filesDone'), j.get('bytesDone')) for j in json.loads(sys.argv[1])])",
                     {runOakenmere({"jobs", "--json", lib}).output}),
              "[('00000000-0000-0000-0000-000000000001', None, None), ('" + id + "', 1, 3000000)]\n");
    {
        ChildProcess holder({oakenmereProgram().string(), "open", "--hold", lib});
        ASSERT_TRUE(holder.waitForLine("Holding it open; press Ctrl-C to close it."));
        EXPECT_TRUE(exitedWith(runOakenmere({"jobs", lib}).status, 0));
        EXPECT_TRUE(exitedWith(runOakenmere({"jobs", "--finish", id, lib}).status, 1));
    }
    const std::string torn = "00000000-0000-0000-0000-000000000001";
    EXPECT_EQ(runOakenmere({"jobs", "--retry", torn, lib}).errors,
              "oakenmere: The folder copy job " + torn + " cannot be read; give it up with --finish.\n");
    EXPECT_EQ(runOakenmere({"jobs", "--finish", id, lib}).output, "Finished job " + id + "\n");
    EXPECT_FALSE(fs::exists(area / id));
    EXPECT_EQ(runOakenmere({"jobs", "--retry", id, lib}).errors, "oakenmere: The library has no folder copy job " + id + ".\n");
    EXPECT_EQ(runOakenmere({"jobs", "--finish", "nope", lib}).errors, "oakenmere: \u201Cnope\u201D is not a job identifier.\n");
}

// A ledger written by another program: its landed file is recognised, also after a rename.
TEST(OakenmereProgram, CameraSurveysAndCleansADownloadFolder) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", folder = library / "Staging/CameraDownloads/0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F";
    ASSERT_TRUE(exitedWith(runOakenmere({"create", library.string()}).status, 0));
    dir.writeFile(folder / "DCIM/IMG_1.JPG", "landed");
    dir.writeFile(folder / "IMG_2.JPG", "unrecorded");
    dir.writeFile(folder / ".downloading-IMG_3.JPG", "half");
    python(
        "import hashlib, json, os, sys\nd = sys.argv[1]; s = os.stat(d + '/DCIM/IMG_1.JPG')\n"
        "e = {'path': 'DCIM/IMG_1.JPG', 'sha256': hashlib.sha256(b'landed').hexdigest(), 'size': s.st_size, 'device': s.st_dev, "
        "'inode': s.st_ino, 'modifiedSeconds': s.st_mtime_ns // 10**9, 'modifiedNanoseconds': s.st_mtime_ns % 10**9, "
        "'changedSeconds': s.st_ctime_ns // 10**9, 'changedNanoseconds': s.st_ctime_ns % 10**9}\n"
        "open(d + '/.landed.jsonl', 'w').write(json.dumps(e) + '\\n' + json.dumps(dict(e, path='../gone.JPG')) + '\\n')",
        {folder.string()});
    fs::rename(folder / "DCIM/IMG_1.JPG", folder / "DCIM/renamed.JPG");
    const std::string f = folder.string();
    EXPECT_EQ(runOakenmere({"camera", "survey", f}).output, "Download folder " + f +
                                                                "\n  renamed       DCIM/renamed.JPG (landed as DCIM/IMG_1.JPG)\n"
                                                                "  not recorded  IMG_2.JPG\n"
                                                                "  downloading   .downloading-IMG_3.JPG\n"
                                                                "1 downloading, 1 not recorded, 1 renamed\n");
    {
        ChildProcess holder({oakenmereProgram().string(), "open", "--hold", library.string()});
        ASSERT_TRUE(holder.waitForLine("Holding it open; press Ctrl-C to close it."));
        EXPECT_TRUE(exitedWith(runOakenmere({"camera", "survey", f}).status, 0));
        EXPECT_TRUE(exitedWith(runOakenmere({"camera", "clean", f}).status, 1));
    }
    EXPECT_EQ(runOakenmere({"camera", "clean", f}).output,
              "Recorded 2 files the ledger did not describe\nKept " + f + ": 2 files landed, 1 still downloading\n");
    for (const char* name : {"DCIM/renamed.JPG", "IMG_2.JPG", ".downloading-IMG_3.JPG"}) fs::remove(folder / name);
    EXPECT_EQ(python("import json, sys; r = json.loads(sys.argv[1]); print(r['removed'], r['recorded'], r['complete'], r['partial'])",
                     {runOakenmere({"camera", "clean", "--json", f}).output}),
              "True 0 0 0\n");
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(runOakenmere({"camera", "clean", library.string()}).errors,
              "oakenmere: \u201C" + library.string() + "\u201D is not a camera download folder.\n");
}

}  // namespace
