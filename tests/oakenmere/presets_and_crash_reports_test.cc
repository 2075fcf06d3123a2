// `oakenmere presets` and `oakenmere crash-reports` as a user runs them: presets exchanged through
// packages made by another program, never replacing one that is there, hostile packages kept out;
// crash payloads kept with the user's home, name and files taken out, from files handed over or
// dropped into a watched folder.
#include <csignal>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {
namespace {

// An exchange package made with Python in `parent`: "preset.json" and the LUTs given, by name.
fs::path package(const fs::path& parent, const std::string& name, const std::string& preset, const std::vector<std::string>& luts = {}) {
    const fs::path folder = parent / (name + ".oakenmerepreset");
    python(
        "import os, sys\nos.makedirs(sys.argv[1])\nopen(os.path.join(sys.argv[1], 'preset.json'), 'w').write(sys.argv[2])\n"
        "for lut in sys.argv[3:]: open(os.path.join(sys.argv[1], lut), 'w').write('LUT_3D_SIZE 2\\n')",
        [&] {
            std::vector<std::string> arguments{folder.string(), preset};
            arguments.insert(arguments.end(), luts.begin(), luts.end());
            return arguments;
        }());
    return folder;
}

TEST(PresetsProgram, ImportsWithoutReplacingExportsRemovesAndRestores) {
    TempDir dir;
    const fs::path presets = dir / "shared";
    const std::vector<std::string> shared{"/usr/bin/env", "BRIGHTLOFT_SHARED_PRESETS=" + presets.string()};
    const std::string lut = std::string(64, 'a') + ".cube";
    const fs::path sunset = package(dir / "packages", "Sunset", R"({"exposure": 0.5})", {lut});
    EXPECT_EQ(runOakenmere({"presets", "import", sunset.string()}, shared).output, "Imported Sunset.oakenmerepreset as “Sunset”; 1 LUT\n");
    EXPECT_EQ(runOakenmere({"presets", "import", sunset.string()}, shared).output,
              "Skipped Sunset.oakenmerepreset: the preset “Sunset” holds the same\n");
    const fs::path other = package(dir / "other", "Sunset", R"({"exposure": -1})");
    EXPECT_EQ(runOakenmere({"presets", "import", other.string()}, shared).output,
              "Imported Sunset.oakenmerepreset as “Sunset-2” (“Sunset” was taken or is no preset name)\n");
    EXPECT_EQ(contentsOf(presets / "Sunset.oakenmerepreset"), R"({"exposure": 0.5})");
    EXPECT_EQ(contentsOf(presets / "LUTs" / lut), "LUT_3D_SIZE 2\n");

    const Outcome exported =
        runOakenmere({"presets", "export", "Sunset-2", dir.makeFolder("out").string(), "--name", " Evening / warm "}, shared);
    EXPECT_EQ(exported.status, 0) << exported.errors;
    EXPECT_EQ(contentsOf(dir / "out/Evening - warm.oakenmerepreset/preset.json"), R"({"exposure": -1})");
    EXPECT_EQ(runOakenmere({"presets", "remove", "Sunset"}, shared).output, "Removed “Sunset”\n");
    EXPECT_EQ(python("import json, sys; print([p['id'] for p in json.loads(sys.argv[1])['presets']])",
                     {runOakenmere({"presets", "list", "--json"}, shared).output}),
              "['Sunset-2']\n");
    EXPECT_EQ(runOakenmere({"presets", "restore", "Sunset"}, shared).output, "Restored “Sunset”\n");
    EXPECT_EQ(runOakenmere({"presets", "restore", "Sunset"}, shared).status, 1 << 8);
    EXPECT_EQ(namesIn(presets), (std::vector<std::string>{".Removed", "LUTs", "Sunset-2.oakenmerepreset", "Sunset.oakenmerepreset"}));
}

// Links inside a package to files elsewhere, and a preset too large: nothing outside the presets
// folder is read into it or written, and the presets folder gains nothing it should not.
TEST(PresetsProgram, HostilePackagesBringInNothingFromElsewhere) {
    TempDir dir;
    const fs::path presets = dir / "presets", secret = dir.writeFile("secret.txt", "private");
    const std::string lut = std::string(64, 'b') + ".3dl";
    const fs::path linked = package(dir / "packages", "Linked", "{}");
    fs::create_symlink(secret, linked / lut);
    EXPECT_EQ(runOakenmere({"presets", "import", "--folder", presets.string(), linked.string()}).status, 0);
    EXPECT_FALSE(fs::exists(presets / "LUTs" / lut));
    const fs::path pointing = dir / "packages/Pointing.oakenmerepreset";
    fs::create_directories(pointing);
    fs::create_symlink(secret, pointing / "preset.json");
    const fs::path huge = package(dir / "packages", "Huge", "{}");
    fs::resize_file(huge / "preset.json", 524'289);
    for (const fs::path& bad : {pointing, huge}) {
        const Outcome refused = runOakenmere({"presets", "import", "--folder", presets.string(), bad.string()});
        EXPECT_EQ(refused.status, 1 << 8) << bad;
        EXPECT_TRUE(refused.errors.starts_with("oakenmere: This ")) << refused.errors;
    }
    EXPECT_EQ(namesIn(presets), (std::vector<std::string>{"Linked.oakenmerepreset"}));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"packages", "presets", "secret.txt"}));
}

// A payload naming the user's home, name, photos and library everywhere; what is kept holds none
// of them, in any spelling JSON may give them, and keeps what a diagnosis needs.
TEST(CrashReportsProgram, KeepsPayloadsWithThePrivateDataTakenOut) {
    TempDir dir;
    // The user's short name is the system's; the home folder is taken from HOME.
    const std::string name = ::getpwuid(::getuid())->pw_name;
    const std::vector<std::string> user{"/usr/bin/env", "HOME=/home/" + name};
    std::string text = R"({
  "timeStampBegin": "2026-12-06 10:00:00",
  "crashDiagnostics": [{
    "version": "1.0",
    "callStackTree": {"callStacks": [{"threadAttributed": true, "callStackRootFrames": [
      {"binaryUUID": "0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F", "offsetIntoBinaryTextSegment": 123456, "binaryName": "oakenmere",
       "address": 4294967296, "sampleCount": 1, "note": "/home/annsmith/Pictures/IMG_0042.JPG"}]}]},
    "diagnosticMetaData": {"appVersion": "0.1.0", "exceptionType": 1, "signal": 11,
      "exceptionReason": {"formatString": "could not open '/home/annsmith/Pictures/Holiday.oakenmere/Masters/IMG_0042.JPG' for annsmith",
                          "arguments": ["Holiday.oakenmere"]},
      "library": "/home/annsmith/Pictures/Holiday.oakenmere"}
  }],
  "userPath": "/home/annsmith"
})";
    for (std::size_t at; (at = text.find("annsmith")) != std::string::npos;) text.replace(at, 8, name);
    const fs::path payload = dir.writeFile("payload.json", text);
    const fs::path kept = dir / "kept";
    const Outcome outcome = runOakenmere({"crash-reports", "keep", "--folder", kept.string(), payload.string()}, user);
    EXPECT_EQ(outcome.status, 0) << outcome.errors;
    ASSERT_EQ(namesIn(kept).size(), 1u);
    const std::string bytes = contentsOf(kept / namesIn(kept).front());
    for (const std::string& secret : {name, std::string("IMG_0042"), std::string("Holiday"), std::string("Pictures"), std::string("home")})
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret << " in " << bytes;
    for (const char* kept : {"0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F", "123456", "4294967296", "\"signal\": 11", "could not open '<path>'"})
        EXPECT_NE(bytes.find(kept), std::string::npos) << kept << " not in " << bytes;
}

// A crash handler drops payloads into a folder: each is kept, then deleted; Ctrl-C ends the watch.
TEST(CrashReportsProgram, WatchesAFolderForPayloads) {
    TempDir dir;
    const fs::path inbox = dir.makeFolder("inbox"), kept = dir / "kept";
    dir.writeFile(inbox / "waiting.json", R"({"hangDiagnostics": [{"version": "1"}]})");
    ChildProcess watching({oakenmereProgram().string(), "crash-reports", "keep", "--watch", inbox.string(), "--folder", kept.string()});
    ASSERT_TRUE(watching.waitForLine("Keeping crash reports dropped into " + inbox.string() + "; press Ctrl-C to stop."));
    dir.writeFile(dir / "arriving.json", R"({"crashDiagnostics": [{"version": "2"}]})");
    fs::rename(dir / "arriving.json", inbox / "arriving.json");
    for (int i = 0; i < 500 && !(fs::exists(kept) && namesIn(kept).size() == 2 && fs::is_empty(inbox)); ++i) ::usleep(10'000);
    ::kill(watching.pid(), SIGINT);
    EXPECT_EQ(watching.finish(), 130 << 8);
    EXPECT_EQ(namesIn(kept).size(), 2u);
    EXPECT_TRUE(fs::is_empty(inbox));
}

}  // namespace
}  // namespace oakenmere::testing
