// `oakenmere camera import` from libgphoto2's "Directory Browse" driver, which serves a folder as a
// camera on a "disk:" port. Real and RAW-like files come in once and a second import downloads
// nothing; a changed file comes in as new content; deleting from the camera deletes exactly what
// the library is proven to hold; killed during downloads and resumed, every file is in the library
// once with nothing half landed; a file that shrinks or a camera that goes away mid-import is
// named, and nothing of it lands or is deleted.
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "support/child_process.h"
#include "support/imported_library.h"
#include "support/temp_dir.h"

namespace oakenmere::testing {
namespace {

// libgphoto2's drivers keep what they allocate when loaded, and are unloaded before a leak report
// could name them.
const std::vector<std::string> kWithoutLeakCheck{"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1"};

std::vector<std::string> cameraImport(const fs::path& library, const fs::path& card, std::vector<std::string> more = {}) {
    std::vector<std::string> arguments{"camera", "import", library.string(), "--port", "disk:" + card.string()};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

Outcome importFrom(const fs::path& card, const fs::path& library, std::vector<std::string> more = {}) {
    return runOakenmere(cameraImport(library, card, std::move(more)), kWithoutLeakCheck);
}

ChildProcess startImport(const fs::path& card, const fs::path& library, std::vector<std::string> more = {}) {
    std::vector<std::string> argv = kWithoutLeakCheck;
    argv.push_back(oakenmereProgram().string());
    for (std::string& argument : cameraImport(library, card, std::move(more))) argv.push_back(std::move(argument));
    return ChildProcess(argv);
}

// Fields of a JSON report, printed by Python: `expression` over `r`.
std::string reported(const Outcome& outcome, const std::string& expression) {
    return python("import json, sys; r = json.loads(sys.argv[1]); print(" + expression + ")", {outcome.output});
}

// A camera's files carry its clock's time, not the moment the test wrote them.
void writeCameraFile(const TempDir& dir, const fs::path& path, const std::string& bytes) {
    dir.writeFile(path, bytes);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
}

// Landed files recorded in the library's download folders not in `before`.
std::size_t landedSince(const fs::path& library, const std::vector<std::string>& before) {
    std::size_t landed = 0;
    std::error_code error;
    for (fs::directory_iterator it(library / "Staging/CameraDownloads", error), end; !error && it != end; it.increment(error)) {
        if (std::find(before.begin(), before.end(), it->path().filename()) != before.end()) continue;
        const std::string ledger = contentsOf(it->path() / ".landed.jsonl");
        landed += static_cast<std::size_t>(std::count(ledger.begin(), ledger.end(), '\n'));
    }
    return landed;
}

TEST(CameraImport, BringsEachFileInOnceAndDeletesFromTheCameraOnlyWhatIsProven) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", card = dir / "card", canon = card / "DCIM/100CANON";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    std::mt19937 random(21);
    for (int i = 0; i < 6; ++i) writeCameraFile(dir, canon / ("IMG_000" + std::to_string(i) + ".JPG"), picture(40 + i));
    writeCameraFile(dir, canon / "IMG_0006.CR2", randomBytes(random, 3 << 20));
    writeCameraFile(dir, card / "DCIM/101CANON/IMG_\x1b[31m7.NEF", randomBytes(random, 200'000));
    writeCameraFile(dir, card / "DCIM/101CANON/IMG_0008.JPG", "");
    const char* const counts = "r['imported'], r['alreadyInLibrary'], r['camera']['downloaded'], r['camera']['emptyFiles']";

    const Outcome first = importFrom(card, library, {"--json"});
    EXPECT_EQ(first.status, 0) << first.errors;
    EXPECT_EQ(reported(first, counts), "8 0 8 1\n");
    const Outcome again = importFrom(card, library, {"--json"});
    EXPECT_EQ(reported(again, counts), "0 8 0 1\n");

    // The same name and size, other bytes: new content.
    const std::string raw = contentsOf(canon / "IMG_0006.CR2");
    dir.writeFile(dir / "before/IMG_0006.CR2", raw);
    dir.writeFile(canon / "IMG_0006.CR2", randomBytes(random, raw.size()));
    EXPECT_EQ(reported(importFrom(card, library, {"--json"}), counts), "1 7 1 1\n");
    fs::copy(card, dir / "everything", fs::copy_options::recursive);
    fs::remove(dir / "everything/DCIM/101CANON/IMG_0008.JPG");

    // A library copy damaged before the proof keeps its file on the camera; the empty file is never
    // the library's to delete.
    const fs::path damaged = fileNamed(library / "Masters", "IMG_0002.JPG");
    std::string bytes = contentsOf(damaged);
    bytes[100] = static_cast<char>(bytes[100] ^ 1);
    dir.writeFile(damaged, bytes);
    const Outcome deleting = importFrom(card, library, {"--delete-from-camera", "--json"});
    EXPECT_EQ(deleting.status, 1 << 8);
    EXPECT_EQ(reported(deleting, counts + std::string(", r['camera']['deleted'], r['camera']['keptOnCamera']")),
              "0 8 8 1 7 ['/DCIM/100CANON/IMG_0002.JPG: the library’s copy could not be proven']\n");
    EXPECT_EQ(namesIn(canon), (std::vector<std::string>{"IMG_0002.JPG"}));
    EXPECT_EQ(namesIn(card / "DCIM/101CANON"), (std::vector<std::string>{"IMG_0008.JPG"}));

    bytes[100] = static_cast<char>(bytes[100] ^ 1);
    dir.writeFile(damaged, bytes);
    EXPECT_EQ(libraryCheck(library, {dir / "everything", dir / "before"}), "9 contents, each once\n");
    EXPECT_EQ(previewOf(library), "9 False\n");
}

// Killed (once stopped by Ctrl-C) after a rising number of files landed and a random moment more,
// so that most kills fall in the middle of a download; each run resumes what the last left.
TEST(CameraImport, KilledDuringDownloadsAndResumedEveryFileIsInOnce) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere", card = dir / "card";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    const std::size_t distinct = makeCard(dir, card, 160);
    std::mt19937 random(9);
    int kills = 0, duringDownloads = 0;
    for (int round = 0; round < 16; ++round) {
        std::vector<std::string> before;
        if (fs::exists(library / "Staging/CameraDownloads")) before = namesIn(library / "Staging/CameraDownloads");
        ChildProcess import = startImport(card, library);
        const std::size_t target = 1 + random() % 6;
        while (!hasEnded(import) && landedSince(library, before) < target) ::usleep(200);
        ::usleep(std::uniform_int_distribution<useconds_t>(0, 3'000)(random));
        ::kill(import.pid(), round == 5 ? SIGINT : SIGKILL);
        const int status = import.finish();
        kills += killedBy(status, SIGKILL);
        // Downloads still in their folder with no job saved to move them: killed while downloading.
        const fs::path jobs = library / "Staging/FolderCopies";
        const bool downloading = landedSince(library, before) > 0 && (!fs::exists(jobs) || fs::is_empty(jobs));
        duringDownloads += killedBy(status, SIGKILL) && downloading;
        EXPECT_TRUE(round != 5 || exitedWith(status, 130) || exitedWith(status, 0)) << status << import.errors();
    }
    EXPECT_GE(duringDownloads, 10) << kills << " kills";
    const Outcome finishing = importFrom(card, library);
    EXPECT_EQ(finishing.status, 0) << finishing.errors;
    EXPECT_EQ(reported(importFrom(card, library, {"--json"}), "r['imported'], r['camera']['downloaded'], r['failed']"), "0 0 0\n");
    EXPECT_EQ(libraryCheck(library, {card}), std::to_string(distinct) + " contents, each once\n");
    EXPECT_EQ(previewOf(library), std::to_string(distinct) + " False\n");
}

// Files that shrink after they were listed (a card's files rewritten, a read that fails) and a
// camera that goes away mid-import: each file is named, nothing of it lands, and what did land
// is imported; none of it is deleted from the camera.
TEST(CameraImport, AFileThatShrinksOrACameraThatGoesAwayIsNamedAndNothingOfItLands) {
    TempDir dir;
    const fs::path library = dir / "Trip.oakenmere";
    ASSERT_EQ(runOakenmere({"create", library.string()}).status, 0);
    std::mt19937 random(4);
    const auto makeCamera = [&](const fs::path& folder) {
        for (char name = 'A'; name < 'G'; ++name)
            writeCameraFile(dir, folder / "DCIM/100A" / (folder.filename().string() + name + ".MOV"), randomBytes(random, 4 << 20));
    };
    // The import is stopped (SIGSTOP) once its first bytes have come; the file it downloads,
    // whose bytes are kept in "landed", is the one that lands whole.
    const auto downloading = [&](const ChildProcess& import, const fs::path& card) {
        fs::path partial;
        while (partial.empty() && !hasEnded(import)) partial = fileNamed(library / "Staging", ".downloading-", 1);
        ::kill(import.pid(), SIGSTOP);
        const std::string name = partial.filename().string().substr(std::string_view(".downloading-").size());
        dir.writeFile(dir / "landed" / card.filename() / name, contentsOf(card / "DCIM/100A" / name));
        return name;
    };

    const fs::path card = dir / "card";
    makeCamera(card);
    ChildProcess shrinking = startImport(card, library, {"--delete-from-camera"});
    const std::string whole = downloading(shrinking, card);
    ASSERT_FALSE(whole.empty());
    for (const std::string& name : namesIn(card / "DCIM/100A"))
        if (name != whole) fs::resize_file(card / "DCIM/100A" / name, 1000);
    ::kill(shrinking.pid(), SIGCONT);
    EXPECT_EQ(shrinking.finish(), 1 << 8);
    EXPECT_NE(shrinking.output().find("5 files could not be imported and will be tried again by the next import:\n"), std::string::npos)
        << shrinking.output();
    EXPECT_NE(shrinking.output().find(" could not be downloaded: the camera sent 1000 of its 4194304 bytes.\n"), std::string::npos);
    EXPECT_EQ(namesIn(card / "DCIM/100A").size(), 5u);  // the whole one was proven and deleted
    EXPECT_EQ(libraryCheck(library, {dir / "landed"}), "1 contents, each once\n");

    const fs::path going = dir / "going";
    makeCamera(going);
    ChildProcess leaving = startImport(going, library);
    ASSERT_FALSE(downloading(leaving, going).empty());
    fs::remove_all(going);
    ::kill(leaving.pid(), SIGCONT);
    EXPECT_EQ(leaving.finish(), 1 << 8);
    EXPECT_NE(leaving.output().find("5 files could not be imported and will be tried again by the next import:\n"), std::string::npos)
        << leaving.output();
    EXPECT_EQ(libraryCheck(library, {dir / "landed"}), "2 contents, each once\n");

    const Outcome gone = importFrom(going, library);
    EXPECT_EQ(gone.status, 1 << 8);
    EXPECT_EQ(gone.errors, "oakenmere: There is no folder at \u201C" + going.string() + "\u201D to read as a memory card.\n");

    // A download folder whose ledger cannot be read is named and kept; it holds up no import.
    const fs::path unreadable = dir.makeFolder(library / "Staging/CameraDownloads/0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F");
    dir.makeFolder(unreadable / ".landed.jsonl");
    const Outcome blocked = runOakenmere({"import", (dir / "landed").string(), library.string()});
    EXPECT_EQ(blocked.status, 1 << 8);
    EXPECT_NE(blocked.output.find("  The camera downloads in \u201C" + unreadable.string() + "\u201D can\u2019t be read ("),
              std::string::npos)
        << blocked.output;
    EXPECT_TRUE(blocked.output.starts_with("Imported 0 files (Zero KB) into \u201CTrip\u201D; 2 already in the library\n"));
    EXPECT_TRUE(fs::exists(unreadable / ".landed.jsonl"));
}

}  // namespace
}  // namespace oakenmere::testing
