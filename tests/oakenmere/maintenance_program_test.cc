// `erase-copies` and `relocate` as a user runs them on a library made by `import`: a copy goes
// only when its original is proven kept elsewhere and the copy is the recorded file, a kill at any
// moment loses no original, and a moved folder of originals is found again by checksum.
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "support/child_process.h"
#include "support/imported_library.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {
namespace {

// "inside outside pending lost": originals whose bytes the package holds, those read from their
// place outside, those recorded outside whose package copy is still there, and those whose bytes
// are nowhere they are looked for (which must never be).
std::string placesOf(const fs::path& library) {
    return python(
        "import hashlib, os, sqlite3, sys\n"
        "lib = sys.argv[1]; counts = [0, 0, 0, 0]\n"
        "def holds(path, sha):\n"
        "    return os.path.isfile(path) and not os.path.islink(path) and hashlib.sha256(open(path, 'rb').read()).hexdigest() == sha\n"
        "for rel, sha, loc in sqlite3.connect(os.path.join(lib, 'Database/catalogue.sqlite')).execute("
        "'SELECT relative_path, sha256, location FROM originals'):\n"
        "    inside = os.path.lexists(os.path.join(lib, rel))\n"
        "    if loc is None: counts[0 if holds(os.path.join(lib, rel), sha) else 3] += 1\n"
        "    elif not holds(loc, sha): counts[3] += 1\n"
        "    else: counts[2 if inside else 1] += 1\n"
        "print(*counts)",
        {library.string()});
}

// The originals whose bytes are nowhere they are looked for.
std::string lostIn(const fs::path& library) {
    const std::string places = placesOf(library);
    return places.substr(places.rfind(' ') + 1);
}

// Files under Masters, counted again when a folder goes while they are counted.
std::size_t mastersFiles(const fs::path& library) {
    for (;;) {
        std::size_t count = 0;
        std::error_code error;
        for (fs::recursive_directory_iterator it(library / "Masters", error), end; !error && it != end; it.increment(error))
            count += it->is_regular_file(error);
        if (!error) return count;
    }
}

struct Imported {
    fs::path library, kept;
    std::size_t originals;
};

// A library imported from a card, and a copy of the card kept elsewhere.
Imported imported(TempDir& dir, int files) {
    const fs::path library = dir / "Trip.oakenmere", card = dir / "card", kept = dir / "kept";
    EXPECT_EQ(runOakenmere({"create", library.string()}).status, 0);
    const std::size_t distinct = makeCard(dir, card, files);
    EXPECT_EQ(runOakenmere({"import", card.string(), library.string()}).status, 0);
    fs::copy(card, kept, fs::copy_options::recursive);
    return {library, kept, distinct};
}

TEST(MaintenanceProgram, ErasesOnlyCopiesProvenKeptElsewhereAndFindsThemAgainWhenMoved) {
    TempDir dir;
    const auto [library, kept, originals] = imported(dir, 30);
    // One kept file differs from the library's copy; one library copy has a second link.
    fs::path changed;
    for (const auto& entry : fs::recursive_directory_iterator(kept))
        if (entry.is_regular_file() && changed.empty()) changed = entry.path();
    dir.writeFile(changed, contentsOf(changed) + "x");
    const Outcome dry = runOakenmere({"erase-copies", library.string(), "--kept-in", kept.string()});
    EXPECT_EQ(dry.status, 0) << dry.errors;
    EXPECT_NE(dry.output.find("Run again with --apply"), std::string::npos) << dry.output;
    EXPECT_EQ(mastersFiles(library), originals);
    // The library reached by another spelling is never where its originals are kept.
    fs::create_directory_symlink(dir.path(), dir / "alias");
    const Outcome aliased = runOakenmere({"erase-copies", library.string(), "--kept-in", (dir / "alias").string()});
    EXPECT_EQ(aliased.output.find(".oakenmere/Masters/"), std::string::npos) << aliased.output;
    EXPECT_EQ(runOakenmere({"erase-copies", library.string(), "--kept-in", (dir / "alias/Trip.oakenmere/Masters").string()}).status,
              1 << 8);
    // One of the copies it would erase gets a second link.
    const fs::path linked = library / dry.output.substr(0, dry.output.find("  kept as "));
    fs::create_hard_link(linked, dir / "linked");

    const Outcome applied = runOakenmere({"erase-copies", library.string(), "--kept-in", kept.string(), "--apply"});
    EXPECT_EQ(applied.status, 1 << 8);
    EXPECT_NE(applied.output.find(": It is also linked from somewhere else, so it was left as it is.\n"), std::string::npos)
        << applied.output;
    EXPECT_EQ(applied.errors, "oakenmere: Some copies were left as they are; see above.\n");
    EXPECT_GE(mastersFiles(library), 2u);  // the changed one (a name may repeat) and the linked one
    EXPECT_EQ(fs::hard_link_count(linked), 2u);
    EXPECT_EQ(lostIn(library), "0\n");

    // The kept folder moves; one file in it is no longer the original.
    fs::rename(kept, dir / "moved");
    const Outcome relocated =
        runOakenmere({"relocate", library.string(), "--from", kept.string(), "--to", (dir / "moved").string(), "--apply"});
    EXPECT_EQ(relocated.status, 0) << relocated.errors;
    EXPECT_NE(relocated.output.find("were found in " + (dir / "moved").string() + " (0 differ, 0 could not be read)"), std::string::npos)
        << relocated.output;
    EXPECT_EQ(lostIn(library), "0\n");
    const Outcome again = runOakenmere({"relocate", library.string(), "--from", kept.string(), "--to", (dir / "moved").string()});
    EXPECT_EQ(again.errors, "oakenmere: No original of this library was kept in " + kept.string() + ".\n");
    EXPECT_EQ(runOakenmere({"erase-copies", library.string(), "--kept-in", (library / "Masters").string()}).status, 1 << 8);
}

// Killed after a random number of copies went, again and again until a run finishes: no original
// is ever without its bytes, and the last run leaves no copy behind.
TEST(MaintenanceProgram, KilledWhileErasingLosesNothingAndARerunFinishes) {
    TempDir dir;
    const auto [library, kept, originals] = imported(dir, 120);
    std::mt19937 random(24);
    int kills = 0;
    for (std::size_t before; (before = mastersFiles(library)) > 0;) {
        const std::size_t goal = before - std::min<std::size_t>(before, 1 + random() % 8);
        ChildProcess erasing({oakenmereProgram().string(), "erase-copies", library.string(), "--kept-in", kept.string(), "--apply"});
        while (!hasEnded(erasing) && mastersFiles(library) > goal) ::usleep(500);
        const bool finished = hasEnded(erasing);
        if (!finished) {
            ::kill(erasing.pid(), SIGKILL);
            ++kills;
        }
        const int status = erasing.finish();
        if (finished) {
            EXPECT_EQ(status, 0);
        }
        ASSERT_EQ(lostIn(library), "0\n") << placesOf(library) << " after " << kills << " kills";
    }
    // A kill after the last copy went may have left the catalogue's numbers for the preview.
    EXPECT_EQ(runOakenmere({"erase-copies", library.string(), "--kept-in", kept.string(), "--apply"}).status, 0);
    EXPECT_GE(kills, 5);
    EXPECT_EQ(mastersFiles(library), 0u);
    EXPECT_EQ(placesOf(library), "0 " + std::to_string(originals) + " 0 0\n");
}

// A library of the earlier name is renamed only with --apply and never while it is open; the
// earlier identity's settings and files are carried over once.
TEST(MaintenanceProgram, RenamesEarlierLibrariesAndMigratesOnce) {
    TempDir dir;
    const fs::path library = dir / "Holiday.brightloft";
    ASSERT_EQ(runOakenmere({"create", (dir / "Holiday.oakenmere").string()}).status, 0);
    fs::rename(dir / "Holiday.oakenmere", library);
    EXPECT_EQ(runOakenmere({"rename", library.string()}).output,
              "Would rename " + library.string() + " to Holiday.oakenmere. Run again with --apply to rename it.\n");
    {
        ChildProcess holder({oakenmereProgram().string(), "open", "--hold", library.string()});
        ASSERT_TRUE(holder.waitForLine("Holding it open; press Ctrl-C to close it."));
        EXPECT_EQ(runOakenmere({"rename", library.string(), "--apply"}).errors,
                  "oakenmere: The library is open in another window or app. Close it, then try again.\n");
        ::kill(holder.pid(), SIGINT);
    }
    EXPECT_EQ(runOakenmere({"rename", library.string(), "--apply"}).output, "Renamed " + library.string() + " to Holiday.oakenmere\n");
    EXPECT_EQ(runOakenmere({"info", (dir / "Holiday.oakenmere").string()}).status, 0);

    const std::vector<std::string> user{"/usr/bin/env", "HOME=" + dir.makeFolder("home").string(),
                                        "XDG_CONFIG_HOME=" + (dir / "config").string()};
    dir.writeFile("earlier/.config/com.brightloft.Brightloft.json", R"({"theme": "dark"})");
    dir.writeFile("earlier/.local/share/Brightloft/Presets/Warm.brightloftpreset", "{}");
    const std::vector<std::string> migrate{"migrate", "--from", (dir / "earlier").string()};
    EXPECT_EQ(runOakenmere(migrate, user).output, "Carried over 1 settings and 1 files from Brightloft (0 already here).\n");
    EXPECT_EQ(runOakenmere(migrate, user).output, "Settings and support files were carried over from Brightloft before; nothing to do.\n");
    EXPECT_EQ(contentsOf(dir / "home/.local/share/Brightloft/Presets/Warm.brightloftpreset"), "{}");
    EXPECT_EQ(python("import json, sys; print(json.load(open(sys.argv[1]))['theme'])", {(dir / "config/Oakenmere/defaults.json").string()}),
              "dark\n");
}

}  // namespace
}  // namespace oakenmere::testing
