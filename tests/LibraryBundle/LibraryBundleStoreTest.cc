#include "LibraryBundle/core/LibraryBundleStore.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "LibraryBundle/core/BoundedFileReader.h"
#include "LibraryBundle/core/Errors.h"
#include "platform/file_io.h"
#include "platform/property_list.h"
#include "support/ChildProcess.h"
#include "support/Failure.h"
#include "support/TempDir.h"

namespace LibraryBundle {
namespace {

namespace fs = std::filesystem;
using oakenmere::platform::lstatPath;
using oakenmere::testing::ChildProcess;
using oakenmere::testing::errnoName;
using oakenmere::testing::failureOf;
using oakenmere::testing::PackageInfo;
using Checkpoint = LibraryBundleStore::CreationCheckpoint;
using Names = std::vector<std::string>;

const std::string kBuild = "Oakenmere 0.1.0 (test)";
const Names kPackageEntries{".brightloft.lock", "Database", "Edits", "Info.plist", "Jobs",
                            "Logs", "Masters", "Previews", "Staging"};

Names names(const fs::path& folder) {
    Names names = oakenmere::platform::listDirectory(folder);
    std::sort(names.begin(), names.end());
    return names;
}

// Every path below `folder`, links not followed: what a failed operation must leave as it was.
std::set<std::string> tree(const fs::path& folder) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) paths.insert(entry.path().string());
    return paths;
}

mode_t permissions(const fs::path& path) { return lstatPath(path).value().mode & 07777; }
bool isRealFolder(const fs::path& path) {
    auto status = lstatPath(path);
    return status && status->isDirectory();
}

LibraryInfo recordIn(const fs::path& package) {
    return LibraryInfo::decodeCheckingVersion(BoundedFileReader::read(package / "Info.plist", 1 << 16));
}

// The record keeps whole microseconds; the descriptor of a new library has the clock's full value.
void expectSameMicrosecond(Date read, Date written) {
    EXPECT_NEAR(read.secondsSinceReferenceDate, written.secondsSinceReferenceDate, 1e-6);
}

class LibraryBundleStoreTest : public ::testing::Test {
protected:
    // A package made by hand as an earlier build would have left it: the record and the folders.
    fs::path makePackage(const fs::path& name, const PackageInfo& info = {}) const {
        fs::path package = dir.makeLibrary(name, info);
        for (const char* folder : LibraryBundleStore::folders) dir.makeFolder(package / folder);
        return package;
    }
    std::string openFailure(LibraryBundleStore& with, const fs::path& at) const {
        return failureOf([&] { with.open(at); });
    }
    std::string createFailure(LibraryBundleStore& with, const fs::path& at, bool deferred = false) const {
        return failureOf([&] { with.create(at, deferred); });
    }

    oakenmere::testing::TempDir dir;
    fs::path lib = dir / "Holiday.oakenmere";
    LibraryBundleStore store{kBuild};
};

TEST_F(LibraryBundleStoreTest, CreateMakesTheWholePackage) {
    Date before = Date::now();
    LibraryDescriptor made = store.create(lib);
    Date after = Date::now();
    EXPECT_EQ(made.name, "Holiday");
    EXPECT_EQ(made.url, lib);
    EXPECT_EQ(store.currentLibrary(), made);
    EXPECT_FALSE(store.isAwaitingActivation());

    EXPECT_EQ(names(lib), kPackageEntries);
    for (const char* folder : LibraryBundleStore::folders) EXPECT_TRUE(isRealFolder(lib / folder)) << folder;
    EXPECT_EQ(permissions(lib), 0700u);
    EXPECT_EQ(permissions(lib / ".brightloft.lock"), 0600u);
    EXPECT_TRUE(lstatPath(lib / ".brightloft.lock")->isRegular());
    EXPECT_EQ(lstatPath(lib / ".brightloft.lock")->size, 0);

    LibraryInfo record = recordIn(lib);
    EXPECT_EQ(record.formatVersion, 1);
    EXPECT_EQ(record.identifier, made.id);
    EXPECT_EQ(record.name, "Holiday");
    EXPECT_EQ(record.formatWrittenBy, kBuild);
    expectSameMicrosecond(record.createdAt, made.createdAt);
    EXPECT_TRUE(before <= made.createdAt && made.createdAt <= after);

    EXPECT_TRUE(LibraryLock::isHeldElsewhere(lib));
    store.close();
    EXPECT_FALSE(LibraryLock::isHeldElsewhere(lib));
    EXPECT_TRUE(fs::exists(lib / ".brightloft.lock"));  // closing leaves the lock file
    store.close();                                      // closing twice does nothing
}

TEST_F(LibraryBundleStoreTest, AcceptedNamesAndTheNameTakenFromThem) {
    const std::pair<std::string, std::string> cases[] = {
        {"Trip.OAKENMERE", "Trip"},
        {"Old.brightloft", "Old"},
        {"Slash.oakenmere/", "Slash"},
        {"Two.Words.oakenmere", "Two.Words"},
        {"library/cloudstorage/Lower.oakenmere", "Lower"},  // the cloud folders are matched by exact case
    };
    dir.makeFolder("library/cloudstorage");
    for (const auto& [relative, name] : cases) {
        LibraryBundleStore fresh{kBuild};
        LibraryDescriptor made = fresh.create(dir.path().string() + "/" + relative);
        EXPECT_EQ(made.name, name) << relative;
        fs::path package = (dir / relative).lexically_normal();
        if (!package.has_filename()) package = package.parent_path();
        EXPECT_EQ(names(package), kPackageEntries) << relative;
        EXPECT_EQ(recordIn(package).name, name) << relative;
    }
    LibraryBundleStore anonymous;
    anonymous.create(dir / "Anonymous.oakenmere");
    EXPECT_EQ(recordIn(dir / "Anonymous.oakenmere").formatWrittenBy, std::nullopt);
}

TEST_F(LibraryBundleStoreTest, PlacesWhereNoLibraryMayLive) {
    dir.makeFolder("Library/Mobile Documents/com~apple~CloudDocs");
    dir.makeFolder("Library/CloudStorage/GoogleDrive-ana");
    dir.makeSymlink(dir / "Library/CloudStorage/GoogleDrive-ana", "Shortcut");
    dir.writeFile("file.txt", "x");
    const fs::path cases[] = {
        dir / "Library/Mobile Documents/com~apple~CloudDocs/A.oakenmere",
        dir / "Library/CloudStorage/GoogleDrive-ana/A.oakenmere",
        dir / "Shortcut/A.oakenmere",  // the parent is judged with its links resolved
        dir / "missing/A.oakenmere",
        dir / "file.txt/A.oakenmere",
        dir / "A.photos",
        dir / "A",
        dir / "A.oakenmerebackup",
        fs::path(),
    };
    auto before = tree(dir.path());
    for (const fs::path& at : cases) {
        EXPECT_EQ(createFailure(store, at), "invalidLocation") << at;
        EXPECT_EQ(openFailure(store, at), "invalidLocation") << at;
    }
    EXPECT_EQ(tree(dir.path()), before);
    EXPECT_EQ(store.currentLibrary(), std::nullopt);
}

TEST_F(LibraryBundleStoreTest, CreateNeverReplacesAnything) {
    dir.writeFile("Holiday.oakenmere/keep.txt", "mine");
    dir.writeFile("File.oakenmere", "a file");
    dir.makeSymlink(dir / "Target.oakenmere", "Dangling.oakenmere");
    auto before = tree(dir.path());
    for (const char* taken : {"Holiday.oakenmere", "File.oakenmere", "Dangling.oakenmere"})
        EXPECT_EQ(createFailure(store, dir / taken), "destinationExists") << taken;
    EXPECT_EQ(tree(dir.path()), before);
    EXPECT_EQ(dir.readFile("Holiday.oakenmere/keep.txt"), "mine");
    EXPECT_EQ(store.currentLibrary(), std::nullopt);
}

TEST_F(LibraryBundleStoreTest, OneLibraryAtATime) {
    store.create(lib);
    EXPECT_EQ(createFailure(store, dir / "Second.oakenmere"), "libraryAlreadyOpen");
    EXPECT_EQ(openFailure(store, lib), "libraryAlreadyOpen");
    EXPECT_FALSE(fs::exists(dir / "Second.oakenmere"));
    store.close();
    EXPECT_EQ(store.create(dir / "Second.oakenmere").name, "Second");
}

// Failing at each point of creation before the record, the "Masters" folder among them, leaves
// no trace, and the store can create again.
TEST_F(LibraryBundleStoreTest, AFailureAtAnyPointBeforeTheRecordLeavesNothing) {
    std::vector<Checkpoint> points;
    {
        LibraryBundleStore counting;
        counting.creationCheckpointForTesting = [&](Checkpoint point, const fs::path&) { points.push_back(point); };
        counting.create(dir / "Counted.oakenmere");
    }
    ASSERT_EQ(points.back(), Checkpoint::recordWritten);
    for (bool deferred : {false, true}) {
        for (std::size_t failAt = 1; failAt < points.size(); ++failAt) {
            LibraryBundleStore failing{kBuild};
            std::size_t calls = 0;
            failing.creationCheckpointForTesting = [&](Checkpoint, const fs::path&) {
                if (++calls == failAt) throw std::runtime_error("stop");
            };
            EXPECT_EQ(createFailure(failing, lib, deferred), "stop") << failAt;
            EXPECT_FALSE(lstatPath(lib)) << "failed at checkpoint " << failAt << (deferred ? ", deferred" : "");
            EXPECT_FALSE(failing.isAwaitingActivation());
            EXPECT_EQ(failing.currentLibrary(), std::nullopt);
            failing.creationCheckpointForTesting = nullptr;
            failing.create(lib, deferred);
            failing.close();
            fs::remove_all(lib);
        }
    }
}

// Only what the creation made is removed: a file someone else put in the package stays, and
// with it the package folder.
TEST_F(LibraryBundleStoreTest, AFolderThatCannotBeMadeFailsTheCreation) {
    store.creationCheckpointForTesting = [&](Checkpoint point, const fs::path& path) {
        if (point == Checkpoint::folderMade && path.filename() == "Masters") dir.writeFile(lib / "Edits", "in the way");
    };
    EXPECT_EQ(createFailure(store, lib), errnoName(EEXIST));
    EXPECT_EQ(names(lib), Names{"Edits"});
    EXPECT_EQ(store.currentLibrary(), std::nullopt);
}

TEST_F(LibraryBundleStoreTest, DeferredActivationWritesTheRecordLast) {
    LibraryDescriptor made = store.create(lib, true);
    EXPECT_TRUE(store.isAwaitingActivation());
    EXPECT_EQ(store.currentLibrary(), made);
    EXPECT_FALSE(fs::exists(lib / "Info.plist"));
    EXPECT_TRUE(LibraryLock::isHeldElsewhere(lib));

    // A record put there meanwhile is never replaced, and the activation can be tried again.
    dir.writeFile(lib / "Info.plist", "someone else's");
    EXPECT_EQ(failureOf([&] { store.activateCreatedLibrary(); }), errnoName(EEXIST));
    EXPECT_EQ(dir.readFile(lib / "Info.plist"), "someone else's");
    EXPECT_TRUE(store.isAwaitingActivation());
    fs::remove(lib / "Info.plist");

    store.activateCreatedLibrary();
    EXPECT_FALSE(store.isAwaitingActivation());
    EXPECT_EQ(names(lib), kPackageEntries);
    EXPECT_EQ(recordIn(lib).identifier, made.id);
    EXPECT_EQ(recordIn(lib).formatWrittenBy, kBuild);
    EXPECT_EQ(failureOf([&] { store.activateCreatedLibrary(); }), "invalidBundle");

    store.close();
    EXPECT_EQ(store.open(lib).id, made.id);
}

TEST_F(LibraryBundleStoreTest, APackageNeverActivatedIsNotALibrary) {
    EXPECT_EQ(failureOf([&] { store.activateCreatedLibrary(); }), "invalidBundle");
    store.create(lib, true);
    store.close();
    EXPECT_FALSE(store.isAwaitingActivation());
    EXPECT_EQ(failureOf([&] { store.activateCreatedLibrary(); }), "invalidBundle");
    EXPECT_EQ(openFailure(store, lib), "invalidBundle");
    EXPECT_FALSE(fs::exists(lib / "Info.plist"));
}

TEST_F(LibraryBundleStoreTest, OpenReadsTheRecordNotTheFolderName) {
    LibraryDescriptor made = store.create(lib);
    store.close();
    fs::path renamed = dir / "Renamed.oakenmere";
    fs::rename(lib, renamed);
    fs::remove(renamed / ".brightloft.lock");  // made again when missing

    LibraryDescriptor opened = store.open(renamed);
    EXPECT_EQ(opened.name, "Holiday");
    EXPECT_EQ(opened.id, made.id);
    EXPECT_EQ(opened.url, renamed);
    expectSameMicrosecond(opened.createdAt, made.createdAt);
    EXPECT_EQ(store.currentLibrary(), opened);
    EXPECT_EQ(permissions(renamed / ".brightloft.lock"), 0600u);
    EXPECT_TRUE(LibraryLock::isHeldElsewhere(renamed));
}

TEST_F(LibraryBundleStoreTest, AnEarlierLibraryOpens) {
    PackageInfo info{.name = "Old Times", .formatWrittenBy = "Brightloft 2.3"};
    fs::path old = makePackage("Old.brightloft", info);
    LibraryDescriptor opened = store.open(old);
    EXPECT_EQ(opened.name, "Old Times");
    EXPECT_EQ(opened.id, info.uuid());
    EXPECT_EQ(opened.createdAt, info.createdAt);
}

TEST_F(LibraryBundleStoreTest, DamagedPackagesAreRefusedAndLeftAsTheyWere) {
    std::vector<std::tuple<std::string, std::string, std::string>> cases;  // entry, replaced by, failure
    for (std::string folder : LibraryBundleStore::folders) {
        cases.emplace_back(folder, "link", "invalidBundle");
        cases.emplace_back(folder, "file", "invalidBundle");
        cases.emplace_back(folder, "nothing", errnoName(ENOENT));
    }
    for (const char* by : {"link", "file", "folder", "nothing"}) cases.emplace_back("Info.plist", by, "invalidBundle");
    cases.emplace_back("Info.plist", "later format", "unsupportedVersion 2 by Oakenmere 9.0");

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [entry, by, failure] = cases[i];
        fs::path package = makePackage("Damaged-" + std::to_string(i) + ".oakenmere");
        // The real entry is moved out beside the package, so that a link can point to it.
        fs::path elsewhere = dir / ("elsewhere-" + std::to_string(i));
        fs::rename(package / entry, elsewhere);
        if (by == "link") fs::create_symlink(elsewhere, package / entry);
        if (by == "file") dir.writeFile(package / entry, "x");
        if (by == "folder") fs::create_directory(package / entry);
        if (by == "later format")
            dir.writeFile(package / entry, oakenmere::testing::infoPlistBytes({.formatVersion = 2, .formatWrittenBy = "Oakenmere 9.0"}));

        auto before = tree(dir.path());
        EXPECT_EQ(openFailure(store, package), failure) << entry << " replaced by " << by;
        EXPECT_EQ(tree(dir.path()), before) << entry << " replaced by " << by;
        EXPECT_EQ(store.currentLibrary(), std::nullopt);
    }
}

TEST_F(LibraryBundleStoreTest, ThePackageItselfMustBeARealFolder) {
    fs::path real = makePackage("Real.oakenmere");
    fs::path linked = dir.makeSymlink(real, "Linked.oakenmere");
    fs::path file = dir.writeFile("File.oakenmere", "x");
    EXPECT_EQ(openFailure(store, linked), "invalidBundle");
    EXPECT_EQ(openFailure(store, linked.string() + "/"), "invalidBundle");  // a trailing "/" must not follow the link
    EXPECT_EQ(openFailure(store, file), "invalidBundle");
    EXPECT_EQ(openFailure(store, dir / "Missing.oakenmere"), errnoName(ENOENT));
    EXPECT_FALSE(fs::exists(real / ".brightloft.lock"));
}

TEST_F(LibraryBundleStoreTest, TheLockKeepsASecondStoreOut) {
    fs::path package = makePackage("Shared.oakenmere");
    LibraryBundleStore other{kBuild};
    store.open(package);
    EXPECT_EQ(openFailure(other, package), "libraryInUse");
    EXPECT_EQ(other.currentLibrary(), std::nullopt);
    store.close();
    EXPECT_EQ(other.open(package).url, package);
    EXPECT_EQ(openFailure(store, package), "libraryInUse");
}

TEST_F(LibraryBundleStoreTest, ALockFileThatIsALinkIsNeverFollowed) {
    fs::path dangling = makePackage("Dangling.oakenmere");
    dir.makeSymlink(dir / "planted", dangling / ".brightloft.lock");
    fs::path linked = makePackage("Linked.oakenmere");
    dir.writeFile("real.lock", "");
    dir.makeSymlink(dir / "real.lock", linked / ".brightloft.lock");

    EXPECT_EQ(openFailure(store, dangling), errnoName(ELOOP));
    EXPECT_FALSE(fs::exists(dir / "planted"));
    EXPECT_EQ(openFailure(store, linked), errnoName(ELOOP));
    EXPECT_EQ(store.currentLibrary(), std::nullopt);
    EXPECT_FALSE(LibraryLock::isHeldElsewhere(dir / "NoSuch.oakenmere"));
}

// A creation killed at any point leaves either no library at all or a whole one, never a
// package with a partial record.
TEST_F(LibraryBundleStoreTest, AKilledCreationLeavesNoLibraryOrAWholeOne) {
    std::size_t checkpoints = 0;
    {
        LibraryBundleStore counting;
        counting.creationCheckpointForTesting = [&](Checkpoint, const fs::path&) { ++checkpoints; };
        counting.create(dir / "Counted.oakenmere");
    }
    for (std::size_t killAt = 1; killAt <= checkpoints + 1; ++killAt) {
        fs::path package = dir / ("Killed-" + std::to_string(killAt) + ".oakenmere");
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The child must never return into the test runner.
            try {
                std::size_t calls = 0;
                LibraryBundleStore dying{kBuild};
                dying.creationCheckpointForTesting = [&](Checkpoint, const fs::path&) {
                    if (++calls == killAt) ::raise(SIGKILL);
                };
                dying.create(package);
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (killAt <= checkpoints)
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << killAt;
        else
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << killAt;

        LibraryBundleStore reopening;
        std::string failure = openFailure(reopening, package);
        if (failure.empty()) {
            for (const char* folder : LibraryBundleStore::folders) EXPECT_TRUE(isRealFolder(package / folder)) << killAt;
            EXPECT_EQ(recordIn(package).name, "Killed-" + std::to_string(killAt));
        } else {
            EXPECT_TRUE(failure == "invalidBundle" || failure == errnoName(ENOENT)) << killAt << ": " << failure;
        }
        // Only a kill after the record was written leaves a library.
        EXPECT_EQ(failure.empty(), killAt >= checkpoints) << killAt << ": " << failure;
    }
}

class LibraryHeldByAnotherProcess : public LibraryBundleStoreTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(program)) << program;
        made = store.create(lib);
        store.close();
        holder.emplace(std::vector<std::string>{program, "open", "--hold", lib});
        ASSERT_TRUE(holder->waitForLine("Holding it open; press Ctrl-C to close it.")) << holder->output();
    }

    fs::path program = oakenmere::testing::oakenmereProgram();
    LibraryDescriptor made;
    std::optional<ChildProcess> holder;
};

TEST_F(LibraryHeldByAnotherProcess, OthersAreRefusedUntilTheHolderDies) {
    ChildProcess second({program, "open", lib});
    int status = second.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(second.errors(), "oakenmere: This library is already open in another window or application.\n");
    EXPECT_EQ(second.output(), "");
    EXPECT_TRUE(LibraryLock::isHeldElsewhere(lib));
    EXPECT_EQ(openFailure(store, lib), "libraryInUse");

    ::kill(holder->pid(), SIGKILL);
    status = holder->finish();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_FALSE(LibraryLock::isHeldElsewhere(lib));
    EXPECT_EQ(store.open(lib).id, made.id);
}

TEST_F(LibraryHeldByAnotherProcess, CtrlCClosesItCleanly) {
    ::kill(holder->pid(), SIGINT);
    int status = holder->finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(holder->output(), "Opened \u201CHoliday\u201D (" + made.id.string() +
                                   ")\nHolding it open; press Ctrl-C to close it.\nClosed \u201CHoliday\u201D\n");
    EXPECT_EQ(holder->errors(), "");
    EXPECT_EQ(store.open(lib).id, made.id);
}

}  // namespace
}  // namespace LibraryBundle
