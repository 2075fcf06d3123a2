// `oakenmere import` when things go wrong: killed at any moment and resumed, run twice at once,
// a file changed while it is copied, sources that cannot be read, vanish, have hostile names or
// are FIFOs, and catalogues that are damaged or another program's. In the end every photo is in
// the library once, catalogued as it is on disk, with nothing half made or left behind.
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/child_process.h"
#include "support/imported_library.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {
namespace {

// Files the ledgers of the library's unfinished imports record as done.
std::size_t copiedSoFar(const fs::path& library) {
    std::size_t done = 0;
    std::error_code error;
    for (fs::directory_iterator job(library / "Staging/FolderCopies", error), end; !error && job != end; job.increment(error)) {
        const std::string ledger = contentsOf(job->path() / ".copied.jsonl");
        done += static_cast<std::size_t>(std::count(ledger.begin(), ledger.end(), '\n'));
    }
    return done;
}

// Whether a preview file is being written into the package.
bool writingPreview(const fs::path& library) {
    std::error_code error;
    for (fs::directory_iterator it(library, error), end; !error && it != end; it.increment(error))
        if (it->path().filename().string().starts_with(".brightloft-summary-")) return true;
    return false;
}

// Stops the import (SIGSTOP) once its first copy has begun writing; returns that half copy.
fs::path stopMidCopy(const ChildProcess& import, const fs::path& library) {
    fs::path half;
    while (half.empty() && !hasEnded(import)) half = fileNamed(library / "Masters", ".brightloft-copy-", 1);
    ::kill(import.pid(), SIGSTOP);
    return half;
}

// Killed (once stopped by Ctrl-C instead) at moments spread over the whole import, resumed each
// time, then run to its end; while it runs, a second import of the library is refused.
TEST(ImportReliability, KilledAtAnyMomentAndResumedItBringsEveryContentInOnce) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", card = dir / "card";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    constexpr int files = 520, rounds = 24;
    const std::size_t distinct = makeCard(dir, card, files);
    std::mt19937 random(7);
    int kills = 0;
    for (int round = 0; round < rounds; ++round) {
        ChildProcess import({oakenmereProgram().string(), "import", card.string(), library.string()});
        // Once a number of files rising from round to round is copied and a random moment later,
        // so that the kills fall all through the import however fast this build runs; the last
        // run is killed while it writes the preview.
        const bool last = round == rounds - 1;
        const double target = std::min<double>(files, files * (round + std::uniform_real_distribution<>(0, 1)(random)) / (rounds - 2));
        while (!hasEnded(import) && (last ? !writingPreview(library) : static_cast<double>(copiedSoFar(library)) < target))
            if (!last) ::usleep(500);
        if (round == 8) {
            ::kill(import.pid(), SIGSTOP);
            ASSERT_FALSE(hasEnded(import));
            const Outcome second = runOakenmere({"import", card.string(), library.string()});
            EXPECT_EQ(second.status, 1 << 8);
            EXPECT_EQ(second.errors, "oakenmere: This library is already open in another window or application.\n");
            ::kill(import.pid(), SIGCONT);
        }
        if (!last) ::usleep(std::uniform_int_distribution<useconds_t>(0, 20'000)(random));
        ::kill(import.pid(), round == 12 ? SIGINT : SIGKILL);
        const int status = import.finish();
        kills += killedBy(status, SIGKILL);
        EXPECT_TRUE(round != 12 || exitedWith(status, 130)) << status << import.errors();
    }
    EXPECT_GE(kills, 20);
    const Outcome finishing = runOakenmere({"import", library.string()});
    EXPECT_EQ(finishing.status, 0) << finishing.errors;
    const Outcome again = runOakenmere({"import", "--json", card.string(), library.string()});
    EXPECT_EQ(
        python("import json, sys; r = json.loads(sys.argv[1]); print(r['imported'], r['alreadyInLibrary'], r['failed'])", {again.output}),
        "0 520 0\n");
    EXPECT_EQ(libraryCheck(library, {card}), std::to_string(distinct) + " contents, each once\n");
    EXPECT_EQ(previewOf(library), std::to_string(distinct) + " False\n");
}

// A file that grows while it is copied fails, and its complete copy is kept under a ".kept-"
// name that the report gives; the next import brings the file in as it is now.
TEST(ImportReliability, AFileChangedWhileItIsCopiedFailsAndItsCopyIsKept) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", card = dir / "card";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    std::mt19937 random(3);
    const fs::path video = dir.writeFile(card / "MVI_0001.MOV", randomBytes(random, 32 << 20));
    ChildProcess import({oakenmereProgram().string(), "import", card.string(), library.string()});
    const fs::path half = stopMidCopy(import, library);
    ASSERT_FALSE(half.empty());
    ASSERT_LT(fs::file_size(half), fs::file_size(video));  // the change lands in the middle of the copy
    std::ofstream(video, std::ios::app) << "appended";
    ::kill(import.pid(), SIGCONT);
    EXPECT_EQ(import.finish(), 1 << 8);
    const fs::path kept = fileNamed(library / "Masters", ".kept-");
    EXPECT_TRUE(contentsOf(kept) == contentsOf(video));
    EXPECT_TRUE(
        import.output().ends_with("1 file could not be imported and will be tried again by the next import:\n"
                                  "  The file changed or was removed while it was copied. The copy made of it is kept.\n"
                                  "Files that changed while they were copied; the copies made of them are kept at:\n  " +
                                  kept.string() + "\n"))
        << import.output();
    EXPECT_TRUE(runOakenmere({"import", library.string()}).output.starts_with("Imported 1 file ("));
    EXPECT_TRUE(contentsOf(fileNamed(library / "Masters", "MVI_0001.MOV")) == contentsOf(video));
    EXPECT_EQ(previewOf(library), "1 False\n");
}

// Unreadable and vanishing files with terminal controls in their names, and a FIFO; then a
// damaged catalogue and another program's database. Each is told in one clear message, names
// escaped, the failed files are tried again by the next import, and nothing the library held is
// lost or changed.
TEST(ImportReliability, BadSourcesAndCataloguesAreReportedAndLoseNothing) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    for (int i = 0; i < 3; ++i) dir.writeFile(dir / "before" / ("IMG_000" + std::to_string(i) + ".JPG"), picture(50 + i));
    ASSERT_EQ(runOakenmere({"import", (dir / "before").string(), library.string()}).status, 0);
    std::mt19937 random(5);

    // Root reads a file of mode 000, so then this import runs as nobody.
    std::vector<std::string> asUser;
    if (::geteuid() == 0) {
        fs::permissions(dir.path(), fs::perms::others_exec, fs::perm_options::add);
        ASSERT_EQ(run({"/bin/chown", "-R", "65534:65534", library.string()}).status, 0);
        asUser = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    const fs::path locked = dir.writeFile("unreadable/IMG_\x1b[31m9.JPG", randomBytes(random, 5000));
    dir.writeFile("unreadable/IMG_0010.CR2", randomBytes(random, 7000));
    fs::permissions(locked, fs::perms::none);
    const Outcome unreadable = runOakenmere({"import", (dir / "unreadable").string(), library.string()}, asUser);
    EXPECT_EQ(unreadable.status, 1 << 8);
    EXPECT_TRUE(unreadable.output.ends_with("1 file could not be imported and will be tried again by the next import:\n  open \u201C" +
                                            (dir / "unreadable/IMG_\\x1B[31m9.JPG\u201D: Permission denied\n").string()))
        << unreadable.output;
    fs::permissions(locked, fs::perms::owner_read);
    EXPECT_TRUE(runOakenmere({"import", library.string()}).output.starts_with("Imported 1 file ("));

    // The big file sorts first; the others vanish while it is copied.
    const fs::path vanishing = dir / "vanishing";
    dir.writeFile(vanishing / "A.MOV", randomBytes(random, 16 << 20));
    const std::string names[] = {"IMG_\r1.JPG", "IMG_\x1b]0;owned\x07.JPG"},
                      bytes[] = {randomBytes(random, 3000), randomBytes(random, 4000)};
    for (int i = 0; i < 2; ++i) dir.writeFile(vanishing / names[i], bytes[i]);
    ChildProcess import({oakenmereProgram().string(), "import", vanishing.string(), library.string()});
    ASSERT_FALSE(stopMidCopy(import, library).empty());
    for (const std::string& name : names) fs::remove(vanishing / name);
    ::kill(import.pid(), SIGCONT);
    EXPECT_EQ(import.finish(), 1 << 8);
    EXPECT_TRUE(import.output().starts_with("Imported 1 file (")) << import.output();
    EXPECT_NE(import.output().find("2 files could not be imported and will be tried again by the next import:\n"), std::string::npos);
    for (const char* escaped : {"IMG_\\r1.JPG", "IMG_\\x1B]0;owned\\x07.JPG"}) EXPECT_NE(import.output().find(escaped), std::string::npos);
    EXPECT_EQ(import.output().find_first_of("\r\x1b\x07"), std::string::npos);
    for (int i = 0; i < 2; ++i) dir.writeFile(vanishing / names[i], bytes[i]);
    EXPECT_TRUE(runOakenmere({"import", library.string()}).output.starts_with("Imported 2 files ("));

    // A FIFO is left alone, never opened (that would wait for a writer forever).
    ASSERT_EQ(::mkfifo((dir / "before/PIPE.JPG").c_str(), 0644), 0);
    const Outcome fifo = runOakenmere({"import", (dir / "before").string(), library.string()});
    EXPECT_EQ(fifo.status, 0);
    EXPECT_EQ(
        fifo.output,
        "Imported 0 files (Zero KB) into \u201CTrip\u201D; 3 already in the library; 1 hidden file, link or special file left alone\n");

    const fs::path database = library / "Database/catalogue.sqlite";
    fs::rename(database, dir / "catalogue.sqlite");
    const std::string garbage = randomBytes(random, 4096);
    dir.writeFile(database, garbage);
    const Outcome damaged = runOakenmere({"import", vanishing.string(), library.string()});
    EXPECT_EQ(damaged.status, 1 << 8);
    EXPECT_EQ(damaged.errors, "oakenmere: This library\u2019s catalogue can\u2019t be read: file is not a database.\n");
    EXPECT_TRUE(contentsOf(database) == garbage);
    fs::remove(database);
    // Another program's database at the catalogue's version number.
    python(
        "import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.execute('CREATE TABLE photos (path TEXT)');"
        "c.execute('PRAGMA user_version = 1'); c.commit()",
        {database.string()});
    const std::string foreign = contentsOf(database);
    const Outcome other = runOakenmere({"import", vanishing.string(), library.string()});
    EXPECT_EQ(other.status, 1 << 8);
    EXPECT_EQ(other.errors, "oakenmere: This library\u2019s catalogue can\u2019t be read: it holds tables Oakenmere did not make.\n");
    EXPECT_TRUE(contentsOf(database) == foreign);
    fs::remove(database);
    fs::rename(dir / "catalogue.sqlite", database);

    EXPECT_EQ(libraryCheck(library, {dir / "before", dir / "unreadable", vanishing}), "8 contents, each once\n");
    EXPECT_EQ(previewOf(library), "8 False\n");
}

// A job given up after it was killed keeps what it had begun, finished and catalogued (also a file
// published but not yet recorded, or half written); the next import brings the rest, and nothing
// is twice in the library or left half made.
TEST(ImportReliability, AJobGivenUpKeepsWhatItCopiedCatalogued) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", card = dir / "card";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    const std::size_t distinct = makeCard(dir, card, 120);
    ChildProcess import({oakenmereProgram().string(), "import", card.string(), library.string()});
    while (copiedSoFar(library) < 5 && !hasEnded(import)) ::usleep(1000);
    ::kill(import.pid(), SIGKILL);
    import.finish();
    const auto jobs = fs::directory_iterator(library / "Staging/FolderCopies");
    ASSERT_NE(jobs, fs::directory_iterator()) << "the import ended before it could be killed";
    const std::string id = jobs->path().filename().string();
    EXPECT_EQ(runOakenmere({"jobs", "--finish", id, library.string()}).output, "Finished job " + id + "\n");
    EXPECT_EQ(previewOf(library).substr(previewOf(library).find(' ')), " False\n");
    EXPECT_NE(previewOf(library), "0 False\n");
    EXPECT_EQ(runOakenmere({"import", card.string(), library.string()}).status, 0);
    EXPECT_EQ(libraryCheck(library, {card}), std::to_string(distinct) + " contents, each once\n");
}

// A name that is not UTF-8 text is left out and named, escaped, and the others come in; a
// (sparse) file larger than the disk's free space is refused before anything is written.
TEST(ImportReliability, ANameThatIsNotTextIsLeftOutAndAFileTooBigForTheDiskRefused) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    dir.writeFile("card/bad/IMG_\xff\x1b[2J.JPG", picture(40));
    dir.writeFile("card/good/IMG_0001.JPG", picture(41));
    const Outcome outcome = runOakenmere({"import", (dir / "card").string(), library.string()});
    EXPECT_EQ(outcome.status, 1 << 8);
    const std::string shown = outcome.output + outcome.errors;
    EXPECT_NE(shown.find("IMG_\\xFF\\x1B[2J.JPG"), std::string::npos) << shown;
    EXPECT_EQ(shown.find_first_of("\xff\x1b"), std::string::npos);
    EXPECT_EQ(libraryCheck(library, {dir / "card/good"}), "1 contents, each once\n");

    const fs::path huge = dir / "huge/MVI_0001.MOV";
    fs::create_directories(huge.parent_path());
    std::ofstream{huge};
    fs::resize_file(huge, fs::space(library).available + (std::uintmax_t{1} << 30));
    const Outcome refused = runOakenmere({"import", huge.parent_path().string(), library.string()});
    EXPECT_EQ(refused.status, 1 << 8);
    EXPECT_TRUE(refused.errors.starts_with("oakenmere: The files to import need ")) << refused.errors;
    EXPECT_TRUE(fs::is_empty(library / "Staging/FolderCopies"));
}

}  // namespace
}  // namespace oakenmere::testing
