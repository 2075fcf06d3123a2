// `oakenmere backup`, `validate` and `restore` on libraries made by `oakenmere import`: a round
// trip byte for byte; damage named file by file and refused by restore; backups and restores
// killed at random moments leave something recognisably unfinished or something complete; and
// hostile backups write nothing outside the new library.
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "support/child_process.h"
#include "support/imported_library.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {
namespace {

// A library imported from `count` files of random bytes (16 KiB to 1 MiB) in "photos".
fs::path importedLibrary(const TempDir& dir, int count) {
    const fs::path library = dir / "Trip.oakenmere";
    EXPECT_EQ(runOakenmere({"create", library.string()}).status, 0);
    std::mt19937 random(17);
    for (int i = 0; i < count; ++i)
        dir.writeFile(dir / "photos" / ("IMG_" + std::to_string(1000 + i) + (i % 3 ? ".JPG" : ".CR2")),
                      randomBytes(random, (16 << 10) + random() % (1 << 20)));
    EXPECT_EQ(runOakenmere({"import", (dir / "photos").string(), library.string()}).status, 0);
    return library;
}

std::string reported(const Outcome& outcome, const std::string& expression) {
    return python("import json, sys; r = json.loads(sys.argv[1]); print(" + expression + ")", {outcome.output});
}

// The page without its line saying when the counts were written.
std::string pageOf(const fs::path& library) {
    std::string page = runOakenmere({"preview", library.string()}).output;
    const auto stamp = page.find("Counts last updated");
    return stamp == std::string::npos ? page : page.substr(0, stamp);
}

TEST(BackupProgram, RoundTripsALibraryAndNamesEveryDamage) {
    TempDir dir;
    const fs::path library = importedLibrary(dir, 12), backup = dir / "backup", restored = dir / "Restored.oakenmere";
    const Outcome made = runOakenmere({"backup", "--json", library.string(), backup.string()});
    ASSERT_EQ(made.status, 0) << made.errors;
    EXPECT_EQ(reported(made, "r['files']"), "14\n");  // the photos, the catalogue and the identity record
    const Outcome valid = runOakenmere({"validate", backup.string()});
    EXPECT_EQ(valid.status, 0);
    EXPECT_TRUE(valid.output.starts_with("The backup holds all 14 files (")) << valid.output;
    const Outcome back = runOakenmere({"restore", backup.string(), restored.string()});
    ASSERT_EQ(back.status, 0) << back.errors;
    EXPECT_EQ(libraryCheck(restored, {dir / "photos"}), "12 contents, each once\n");
    EXPECT_EQ(pageOf(restored), pageOf(library));

    // One byte flipped, one file cut short, one deleted, one stray file added.
    std::vector<std::string> masters;
    for (const auto& entry : fs::recursive_directory_iterator(backup / "Masters"))
        if (entry.is_regular_file()) masters.push_back(fs::relative(entry.path(), backup).string());
    std::sort(masters.begin(), masters.end());
    std::string bytes = contentsOf(backup / masters[0]);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x20);
    dir.writeFile(backup / masters[0], bytes);
    fs::resize_file(backup / masters[1], 1000);
    fs::remove(backup / masters[2]);
    dir.writeFile(backup / "Masters/stray\x1b[2J.JPG", "not backed up");
    const std::string expected = "missing     " + masters[2] + "\nchanged     " + masters[0] + "\nchanged     " + masters[1] +
                                 "\nunexpected  Masters/stray\\x1B[2J.JPG\n"
                                 "The backup does not match its manifest: 1 missing, 2 changed, 1 unexpected.\n";
    for (const char* jobs : {"1", "2"}) {
        const Outcome checked = runOakenmere({"validate", "--jobs", jobs, backup.string()});
        EXPECT_EQ(checked.status, 1 << 8);
        EXPECT_EQ(checked.output, expected);
    }
    const Outcome json = runOakenmere({"validate", "--json", backup.string()});
    EXPECT_EQ(reported(json, "len(r['missing']), len(r['changed']), r['unexpected'], r['valid']"),
              "1 2 ['Masters/stray\\x1b[2J.JPG'] False\n");
    const Outcome refused = runOakenmere({"restore", backup.string(), (dir / "Again.oakenmere").string()});
    EXPECT_EQ(refused.status, 1 << 8);
    EXPECT_FALSE(fs::exists(dir / "Again.oakenmere"));

    dir.writeFile(backup / "backup.json", contentsOf(backup / "backup.json").substr(0, 100));
    for (const char* command : {"validate", "restore"}) {
        std::vector<std::string> arguments{command, backup.string()};
        if (std::string_view(command) == "restore") arguments.push_back((dir / "Again.oakenmere").string());
        const Outcome damaged = runOakenmere(arguments);
        EXPECT_EQ(damaged.status, 1 << 8);
        EXPECT_EQ(damaged.errors, "oakenmere: This backup is incomplete or uses an unsupported format.\n");
    }
    EXPECT_FALSE(fs::exists(dir / "Again.oakenmere"));

    // An existing folder is never written into.
    dir.writeFile(dir / "Existing.oakenmere/keep.txt", "mine");
    EXPECT_EQ(runOakenmere({"backup", library.string(), (dir / "Existing.oakenmere").string()}).errors,
              "oakenmere: A file or library already exists at that location. Choose a new name.\n");
    EXPECT_EQ(namesIn(dir / "Existing.oakenmere"), (std::vector<std::string>{"keep.txt"}));
    EXPECT_EQ(runOakenmere({"backup", library.string(), (library / "Masters/inside").string()}).errors,
              "oakenmere: Choose a destination outside the source library or backup.\n");
    // A name backup.json could not hold is refused before anything is written.
    dir.writeFile(library / "Edits/caf\xe9.xmp", "an edit");
    EXPECT_EQ(
        runOakenmere({"backup", library.string(), (dir / "Later").string()}).errors,
        "oakenmere: \u201CEdits/caf\\xE9.xmp\u201D is not a UTF-8 name, which a backup cannot record; rename it and back up again.\n");
    EXPECT_FALSE(fs::exists(dir / "Later"));
}

// Each kill leaves either a folder without backup.json (refused by validate and restore) or a
// complete backup; a restore, either a folder without its identity record (no library) or the
// whole library.
TEST(BackupProgram, BackupsAndRestoresKilledAtRandomMomentsLeaveNothingTakenForComplete) {
    TempDir dir;
    const fs::path library = importedLibrary(dir, 40), backup = dir / "backup";
    ASSERT_EQ(runOakenmere({"backup", library.string(), backup.string()}).status, 0);
    // Files in the folder being made, temporary ones included; 0 before it exists.
    const auto filesIn = [](const fs::path& folder) {
        std::size_t count = 0;
        std::error_code error;
        for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            count += it->is_regular_file();
        return count;
    };
    std::mt19937 random(23);
    int unfinished[2] = {0, 0}, kills[2] = {0, 0};
    for (int round = 0; round < 30; ++round) {
        const bool restoring = round % 2 == 1;
        const fs::path made = dir / ("made" + std::to_string(round) + (restoring ? ".oakenmere" : ""));
        ChildProcess child(
            {oakenmereProgram().string(), restoring ? "restore" : "backup", (restoring ? backup : library).string(), made.string()});
        // Once a random number of the 42 files is there (a restore checks every file before it
        // makes the folder), and a random moment more.
        const std::size_t target = random() % 42;
        while (!hasEnded(child) && filesIn(made) < target) ::usleep(100);
        ::usleep(static_cast<useconds_t>(random() % 2'000));
        ::kill(child.pid(), SIGKILL);
        kills[restoring] += killedBy(child.finish(), SIGKILL);
        if (!fs::exists(made)) continue;
        if (restoring) {
            const bool complete = fs::exists(made / "Info.plist");
            unfinished[1] += !complete;
            EXPECT_EQ(runOakenmere({"preview", made.string()}).status, complete ? 0 : 1 << 8);
            if (complete) {
                EXPECT_EQ(libraryCheck(made, {dir / "photos"}), "40 contents, each once\n");
            }
            continue;
        }
        const bool complete = fs::exists(made / "backup.json");
        unfinished[0] += !complete;
        EXPECT_EQ(runOakenmere({"validate", made.string()}).status, complete ? 0 : 1 << 8);
        if (!complete) {
            EXPECT_EQ(runOakenmere({"restore", made.string(), (dir / "Never.oakenmere").string()}).errors,
                      "oakenmere: \u201C" + made.string() +
                          "\u201D has no backup.json: it is not a backup, or one that did not finish. Back "
                          "up the library again.\n");
        }
    }
    EXPECT_FALSE(fs::exists(dir / "Never.oakenmere"));
    EXPECT_GE(kills[0], 10);
    EXPECT_GE(kills[1], 10);
    EXPECT_GT(unfinished[0], 0);
    EXPECT_GT(unfinished[1], 0);
}

// Backups made by someone else: links inside, paths that leave the folder, a path twice, 100,000
// entries, control characters. Each gets one clear line, and nothing is written outside the new
// library.
TEST(BackupProgram, HostileBackupsAreRefusedAndWriteNothingOutside) {
    TempDir dir;
    const fs::path library = importedLibrary(dir, 2), backup = dir / "backup";
    ASSERT_EQ(runOakenmere({"backup", library.string(), backup.string()}).status, 0);
    const std::string original = contentsOf(backup / "backup.json");
    const auto rewritten = [&](const std::string& change) {
        python("import json, sys; m = json.load(open(sys.argv[1])); f = m['files']\n" + change + "\njson.dump(m, open(sys.argv[1], 'w'))",
               {(backup / "backup.json").string()});
        return runOakenmere({"restore", backup.string(), (dir / "New.oakenmere").string()});
    };
    const struct {
        const char* change;
        std::string error;
    } cases[] = {
        {"f.append(dict(f[0])); f[-1]['relativePath'] = '../outside.txt'",
         "oakenmere: The file location contains an unsafe path or symbolic link: ../outside.txt\n"},
        {"f.append(dict(f[0])); f[-1]['relativePath'] = '/etc/passwd'",
         "oakenmere: The file location contains an unsafe path or symbolic link: /etc/passwd\n"},
        {"f.append(dict(f[0]))", "oakenmere: This backup is incomplete or uses an unsupported format.\n"},
        {"f[0]['relativePath'] = 'Masters/a\\u0000/../../x'", "oakenmere: This backup is incomplete or uses an unsupported format.\n"},
    };
    for (const auto& c : cases) {
        dir.writeFile(backup / "backup.json", original);
        const Outcome outcome = rewritten(c.change);
        EXPECT_EQ(outcome.errors, c.error) << c.change;
        EXPECT_FALSE(fs::exists(dir / "New.oakenmere"));
    }

    // A folder of the backup swapped for a link to elsewhere: refused, never followed.
    dir.writeFile(backup / "backup.json", original);
    dir.writeFile(dir / "elsewhere/IMG.JPG", "outside");
    fs::rename(backup / "Masters", dir / "moved");
    fs::create_directory_symlink(dir / "elsewhere", backup / "Masters");
    const Outcome linked = runOakenmere({"restore", backup.string(), (dir / "New.oakenmere").string()});
    EXPECT_TRUE(linked.errors.starts_with("oakenmere: The file location contains an unsafe path or symbolic link: ")) << linked.errors;
    EXPECT_FALSE(fs::exists(dir / "New.oakenmere"));
    fs::remove(backup / "Masters");
    fs::rename(dir / "moved", backup / "Masters");

    // 100,000 entries with control characters in their names: every one named, escaped.
    rewritten("m['files'] = f + [{'relativePath': 'Masters/\\x1b[31m%d.JPG' % i, 'sha256': '0' * 64} for i in range(100000)]");
    const Outcome many = runOakenmere({"validate", backup.string()});
    EXPECT_EQ(many.status, 1 << 8);
    EXPECT_TRUE(many.output.ends_with("The backup does not match its manifest: 100000 missing, 0 changed, 0 unexpected.\n"));
    EXPECT_EQ(many.output.find('\x1b'), std::string::npos);
    EXPECT_EQ(std::count(many.output.begin(), many.output.end(), '\n'), 100'001);
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"Trip.oakenmere", "backup", "elsewhere", "photos"}));
}

}  // namespace
}  // namespace oakenmere::testing
