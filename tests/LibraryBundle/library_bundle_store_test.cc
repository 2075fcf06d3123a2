#include "LibraryBundle/core/library_bundle_store.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <set>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <tuple>
#include <unistd.h>

#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/preview/library_preview_summary_store.h"
#include "platform/file_io.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using oakenmere::platform::lstatPath;
using Checkpoint = LibraryBundleStore::CreationCheckpoint;
using Names = std::vector<std::string>;

const std::string kBuild = "Oakenmere 0.1.0 (test)";
const Names kPackageEntries{".brightloft.lock", "Database", "Edits", "Info.plist", "Jobs", "Logs", "Masters", "Previews", "Staging"};

// Every path below `folder`, links not followed: what a failed operation must leave as it was.
std::set<std::string> tree(const fs::path& folder) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) paths.insert(entry.path().string());
    return paths;
}

LibraryInfo recordIn(const fs::path& package) {
    return LibraryInfo::decodeCheckingVersion(BoundedFileReader::read(package / "Info.plist", 1 << 16));
}

// Nothing but what a library holds: no temporary copy of the record, at any moment.
bool onlyPackageEntries(const fs::path& package) { return std::ranges::includes(kPackageEntries, namesIn(package)); }

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
    std::string createFailure(LibraryBundleStore& with, const fs::path& at) const {
        return failureOf([&] { with.create(at); });
    }

    TempDir dir;
    fs::path lib = dir / "Holiday.oakenmere";
    LibraryBundleStore store{kBuild};
};

// Every library name makes the whole package, named after the folder without its extension
// (cases: at, name, build).
TEST_F(LibraryBundleStoreTest, CreateMakesTheWholePackage) {
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {"Holiday.oakenmere", "Holiday", kBuild},
        {"Trip.OAKENMERE", "Trip", kBuild},
        {"Old.brightloft", "Old", kBuild},
        {"Slash.oakenmere/", "Slash", kBuild},
        {"Two.Words.oakenmere", "Two.Words", std::nullopt},
        {"library/cloudstorage/Lower.oakenmere", "Lower", kBuild},  // the cloud folders are matched by exact case
    };
    dir.makeFolder("library/cloudstorage");
    for (const auto& [relative, name, build] : cases) {
        SCOPED_TRACE(relative);
        LibraryBundleStore fresh{build};
        const Date before = Date::now();
        const LibraryDescriptor made = fresh.create(dir.path().string() + "/" + relative);
        const Date after = Date::now();
        fs::path package = (dir / relative).lexically_normal();
        if (!package.has_filename()) package = package.parent_path();
        EXPECT_EQ(made.name, name);
        EXPECT_EQ(made.url, package);
        EXPECT_EQ(fresh.currentLibrary(), made);

        EXPECT_EQ(namesIn(package), kPackageEntries);
        for (const char* folder : LibraryBundleStore::folders) EXPECT_TRUE(lstatPath(package / folder).value().isDirectory()) << folder;
        EXPECT_EQ(lstatPath(package)->mode, S_IFDIR | 0700u);
        EXPECT_EQ(lstatPath(package / ".brightloft.lock")->mode, S_IFREG | 0600u);
        EXPECT_EQ(lstatPath(package / ".brightloft.lock")->size, 0);

        const LibraryInfo record = recordIn(package);
        EXPECT_EQ(record, (LibraryInfo{1, made.id, name, record.createdAt, build}));
        // The record keeps whole microseconds; the descriptor has the clock's full value.
        EXPECT_NEAR(record.createdAt.secondsSinceReferenceDate, made.createdAt.secondsSinceReferenceDate, 1e-6);
        EXPECT_TRUE(before <= made.createdAt && made.createdAt <= after);

        EXPECT_TRUE(LibraryLock::isHeldElsewhere(package));
        fresh.close();
        EXPECT_FALSE(LibraryLock::isHeldElsewhere(package));
        EXPECT_TRUE(fs::exists(package / ".brightloft.lock"));  // closing leaves the lock file
        fresh.close();                                          // closing twice does nothing
    }
}

// Refused before anything is touched: places where no library may live (which names are library
// names: LibraryFileTypeTest), names already taken, and a package that is not a real folder.
TEST_F(LibraryBundleStoreTest, PlacesWhereNoLibraryMayBeMadeOrOpened) {
    dir.makeFolder("Library/Mobile Documents/com~apple~CloudDocs");
    dir.makeFolder("Library/CloudStorage/GoogleDrive-ana");
    dir.makeSymlink(dir / "Library/CloudStorage/GoogleDrive-ana", "Shortcut");
    dir.writeFile("file.txt", "x");
    dir.writeFile("Holiday.oakenmere/keep.txt", "mine");
    dir.writeFile("File.oakenmere", "a file");
    dir.makeSymlink(dir / "Target.oakenmere", "Dangling.oakenmere");
    dir.makeSymlink(makePackage("Real.oakenmere"), "Linked.oakenmere");
    const auto before = tree(dir.path());
    auto expectRefused = [&](const std::string& relative, const std::string& createFails, const std::string& openFails) {
        SCOPED_TRACE(relative);
        const fs::path at = relative.empty() ? fs::path() : fs::path(dir.path().string() + "/" + relative);
        if (!createFails.empty()) {
            EXPECT_EQ(createFailure(store, at), createFails);
        }
        EXPECT_EQ(openFailure(store, at), openFails);
    };
    // In a cloud folder, its parent judged with its links resolved; under no folder; without a library name; the empty path.
    for (const char* at : {"Library/Mobile Documents/com~apple~CloudDocs/A.oakenmere", "Library/CloudStorage/GoogleDrive-ana/A.oakenmere",
                           "Shortcut/A.oakenmere", "missing/A.oakenmere", "file.txt/A.oakenmere", "A.photos", ""})
        expectRefused(at, "invalidLocation", "invalidLocation");
    // Taken, also by a link, which is never followed, not even for a trailing "/".
    for (const char* at : {"Holiday.oakenmere", "File.oakenmere", "Dangling.oakenmere", "Linked.oakenmere", "Linked.oakenmere/"})
        expectRefused(at, "destinationExists", "invalidBundle");
    expectRefused("Missing.oakenmere", "", errnoName(ENOENT));
    expectRefused("Caf\xE9.oakenmere", LibraryNameError("Caf\xE9").what(), errnoName(ENOENT));  // the record could not keep it
    EXPECT_EQ(tree(dir.path()), before);
    EXPECT_EQ(dir.readFile("Holiday.oakenmere/keep.txt"), "mine");
    EXPECT_EQ(store.currentLibrary(), std::nullopt);
}

// One library per store, and one store per library: the lock keeps out a second store in this
// process too.
TEST_F(LibraryBundleStoreTest, OneLibraryPerStoreAndOneStorePerLibrary) {
    store.create(lib);
    EXPECT_EQ(createFailure(store, dir / "Second.oakenmere"), "libraryAlreadyOpen");
    EXPECT_EQ(openFailure(store, lib), "libraryAlreadyOpen");
    EXPECT_FALSE(fs::exists(dir / "Second.oakenmere"));

    LibraryBundleStore other{kBuild};
    EXPECT_EQ(openFailure(other, lib), "libraryInUse");
    store.close();
    EXPECT_EQ(other.open(lib).url, lib);
    EXPECT_EQ(openFailure(store, lib), "libraryInUse");
    EXPECT_EQ(store.create(dir / "Second.oakenmere").name, "Second");
}

// Whatever call fails, with whatever error, a creation leaves no trace or (EINTR being tried
// again) the whole library, and an activation keeps its record pending with none or a whole one
// in place; a library beside it is never touched. The record is written unnamed, or in place
// where the file system cannot do that.
TEST_F(LibraryBundleStoreTest, AnyFailingCallLeavesNoHalfMadeLibrary) {
    const fs::path neighbour = makePackage("Neighbour.oakenmere");
    const auto neighbourTree = tree(neighbour);
    LibraryBundleStore creating{kBuild};
    for (bool inPlace : {false, true})
        for (bool activating : {false, true}) {
            SCOPED_TRACE(std::string(inPlace ? "in place, " : "unnamed, ") + (activating ? "activation" : "creation"));
            sweepFaults(
                [&] {
                    creating.close();
                    fs::remove_all(lib);
                    if (activating) creating.create(lib, true);
                },
                [&] { activating ? creating.activateCreatedLibrary() : (void)creating.create(lib); },
                [&](const InjectedFault& fault, std::exception_ptr thrown) {
                    SCOPED_TRACE(fault.describe());
                    EXPECT_EQ(tree(neighbour), neighbourTree);
                    const std::string failure = failureOf(thrown);  // the injected error, or EIO
                    EXPECT_TRUE(!failure.starts_with("errno") || failure == errnoName(fault.error) || failure == errnoName(EIO)) << failure;
                    if (!creating.currentLibrary()) {
                        EXPECT_TRUE(thrown && !lstatPath(lib));
                    } else {
                        EXPECT_EQ(creating.isAwaitingActivation(), thrown != nullptr);
                        EXPECT_TRUE(thrown ? onlyPackageEntries(lib) : namesIn(lib) == kPackageEntries);
                        EXPECT_TRUE(!fs::exists(lib / "Info.plist") || recordIn(lib).identifier == creating.currentLibrary()->id);
                    }
                },
                kDiskErrors,
                [&](FaultInjectionFileSystem& disk) {
                    if (inPlace) disk.refuseUnnamedFiles();
                });
        }
}

// A power cut at any moment of a deferred creation and its activation leaves no package, or one
// that open refuses for want of a whole record, or the library itself; once activation has
// returned, always the library.
TEST_F(LibraryBundleStoreTest, APowerCutLeavesNoLibraryOrAWholeOne) {
    for (bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "record written in place" : "record written unnamed");
        std::optional<Uuid> made;
        bool activated = false;
        sweepPowerCuts(
            [&] {
                fs::remove_all(lib);
                made.reset();
                activated = false;
            },
            [&] {
                LibraryBundleStore creating{kBuild};
                made = creating.create(lib, true).id;
                creating.activateCreatedLibrary();
                activated = true;
            },
            [&](int calls) {
                SCOPED_TRACE("power lost after " + std::to_string(calls) + " calls");
                LibraryBundleStore opening;
                const std::string failure = lstatPath(lib) ? openFailure(opening, lib) : "no package";
                if (failure.empty()) {
                    EXPECT_EQ(opening.currentLibrary()->id, made);
                } else {
                    EXPECT_TRUE(!activated && (failure == "invalidBundle" || failure == "no package")) << failure;
                }
            },
            [&](FaultInjectionFileSystem& disk) {
                if (inPlace) disk.refuseUnnamedFiles();
            });
    }
}

// Only what the creation made is removed: a file someone else put in the package stays, and
// with it the package folder.
TEST_F(LibraryBundleStoreTest, AFolderThatCannotBeMadeFailsTheCreation) {
    store.creationCheckpointForTesting = [&](Checkpoint point, const fs::path& path) {
        if (point == Checkpoint::folderMade && path.filename() == "Masters") dir.writeFile(lib / "Edits", "in the way");
    };
    EXPECT_EQ(createFailure(store, lib), errnoName(EEXIST));
    EXPECT_EQ(namesIn(lib), Names{"Edits"});
}

// The record comes last, unnamed or, where the file system cannot do that, in place; never over
// one put there meanwhile, and the activation can then be tried again.
TEST_F(LibraryBundleStoreTest, DeferredActivationWritesTheRecordLast) {
    auto activate = [&] { return failureOf([&] { store.activateCreatedLibrary(); }); };
    EXPECT_EQ(activate(), "invalidBundle");

    // Closed before activation: the package is not a library, and cannot be activated later.
    fs::path never = dir / "Never.oakenmere";
    store.create(never, true);
    store.close();
    EXPECT_FALSE(store.isAwaitingActivation());
    EXPECT_EQ(activate(), "invalidBundle");
    EXPECT_EQ(openFailure(store, never), "invalidBundle");
    EXPECT_FALSE(fs::exists(never / "Info.plist"));

    for (bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "record written in place" : "record written unnamed");
        const fs::path at = dir / (inPlace ? "InPlace.oakenmere" : "Unnamed.oakenmere");
        LibraryDescriptor made = store.create(at, true);

        FaultInjectionFileSystem disk;  // only now: it keeps the files it sees made open, the lock file's lock too
        if (inPlace) disk.refuseUnnamedFiles();
        dir.writeFile(at / "Info.plist", "someone else's");
        EXPECT_EQ(activate(), errnoName(EEXIST));
        EXPECT_EQ(dir.readFile(at / "Info.plist"), "someone else's");
        EXPECT_TRUE(store.isAwaitingActivation());
        fs::remove(at / "Info.plist");

        // Tried again, it writes this library's record; all else the library then holds is the sweeps' business.
        store.activateCreatedLibrary();
        EXPECT_FALSE(store.isAwaitingActivation());
        EXPECT_EQ(recordIn(at).identifier, made.id);
        EXPECT_EQ(activate(), "invalidBundle");
        store.close();
    }
}

// A package left by an earlier build: named by its record, not its folder, and given the lock
// file it lacks.
TEST_F(LibraryBundleStoreTest, OpenReadsTheRecordNotTheFolderName) {
    PackageInfo info{.name = "Old Times", .formatWrittenBy = "Brightloft 2.3"};
    fs::path old = makePackage("Old.brightloft", info);
    EXPECT_EQ(store.open(old), (LibraryDescriptor{info.uuid(), "Old Times", old, *info.createdAt}));
}

TEST_F(LibraryBundleStoreTest, DamagedPackagesAreRefusedAndLeftAsTheyWere) {
    std::vector<std::tuple<std::string, std::string, std::string>> cases;  // entry, replaced by, failure
    for (std::string folder : LibraryBundleStore::folders) {
        cases.emplace_back(folder, "link", "invalidBundle");
        cases.emplace_back(folder, "file", "invalidBundle");
        cases.emplace_back(folder, "nothing", errnoName(ENOENT));
    }
    for (const char* by : {"link", "file", "folder", "nothing"}) cases.emplace_back("Info.plist", by, "invalidBundle");
    // A lock file that is a link is never followed, not even to create what it points to.
    cases.emplace_back(".brightloft.lock", "link", errnoName(ELOOP));
    cases.emplace_back(".brightloft.lock", "dangling link", errnoName(ELOOP));

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [entry, by, failure] = cases[i];
        SCOPED_TRACE(entry + " replaced by " + by);
        fs::path package = makePackage("Damaged-" + std::to_string(i) + ".oakenmere");
        if (entry == ".brightloft.lock") dir.writeFile(package / entry, "");
        // The real entry is moved out beside the package, so that a link can point to it.
        fs::path elsewhere = dir / ("elsewhere-" + std::to_string(i));
        fs::rename(package / entry, elsewhere);
        if (by == "link") fs::create_symlink(elsewhere, package / entry);
        if (by == "dangling link") fs::create_symlink(dir / "planted", package / entry);
        if (by == "file") dir.writeFile(package / entry, "x");
        if (by == "folder") fs::create_directory(package / entry);

        auto before = tree(dir.path());
        EXPECT_EQ(openFailure(store, package), failure);
        EXPECT_EQ(tree(dir.path()), before);
        EXPECT_EQ(store.currentLibrary(), std::nullopt);
    }
}

// A creation killed at any point, inside the record's writing too, leaves either no library at
// all or a whole one, never a package with a partial record or a stray copy of it.
TEST_F(LibraryBundleStoreTest, AKilledCreationLeavesNoLibraryOrAWholeOne) {
    std::vector<Checkpoint> points;  // those a whole creation passes, in order
    LibraryBundleStore counting;
    counting.creationCheckpointForTesting = [&](Checkpoint point, const fs::path&) { points.push_back(point); };
    counting.create(dir / "Counted.oakenmere");
    for (std::size_t killAt = 1; killAt <= points.size() + 1; ++killAt) {
        SCOPED_TRACE("killed at checkpoint " + std::to_string(killAt));
        const std::string name = "Killed-" + std::to_string(killAt);
        fs::path package = dir / (name + ".oakenmere");
        const int status = waitFor(forkRunning([&] {
            std::size_t calls = 0;
            LibraryBundleStore dying{kBuild};
            dying.creationCheckpointForTesting = [&](Checkpoint, const fs::path&) {
                if (++calls == killAt) ::raise(SIGKILL);
            };
            dying.create(package);
        }));
        const bool killed = killAt <= points.size();
        EXPECT_TRUE(killed ? killedBy(status, SIGKILL) : exitedWith(status, 0)) << status;
        const Checkpoint at = killed ? points[killAt - 1] : Checkpoint::recordWritten;  // where it stopped
        EXPECT_TRUE(!fs::exists(package) || onlyPackageEntries(package));

        LibraryBundleStore reopening;
        std::string failure = openFailure(reopening, package);
        if (failure.empty()) {
            EXPECT_EQ(namesIn(package), kPackageEntries);  // open has checked that the folders are real
            EXPECT_EQ(recordIn(package).name, name);
        } else {
            EXPECT_TRUE(failure == "invalidBundle" || failure == errnoName(ENOENT)) << failure;
        }
        // Only a kill once the record has its name leaves a library.
        EXPECT_EQ(failure.empty(), at >= Checkpoint::recordWritten) << failure;
    }
}

// Asking whether a library is in use, as `info` does, never turns away an open another process
// makes at that moment.
TEST_F(LibraryBundleStoreTest, LookingForAHolderNeverTurnsAnOpenAway) {
    store.create(lib);
    store.close();
    const fs::path outcome = dir / "outcome";
    const pid_t opener = forkRunning([&] {
        LibraryBundleStore own;
        dir.writeFile(outcome, failureOf([&] {
                          for (int round = 0; round < 1000; ++round, own.close()) own.open(lib);
                      }));
    });
    while (!fs::exists(outcome)) LibraryLock::isHeldElsewhere(lib);
    EXPECT_TRUE(exitedWith(waitFor(opener), 0));
    EXPECT_EQ(dir.readFile(outcome), "");
}

// A FIFO nobody writes to, a folder, a device or a terminal (a pseudo-terminal bound over the
// entry in a mount namespace of our own) where a package file should be.
void check(bool ok) {
    if (!ok) throw std::system_error(errno, std::generic_category());
}
void placeNonRegularFile(const std::string& kind, const fs::path& at) {
    fs::remove(at);
    if (kind == "folder") fs::create_directory(at);
    if (kind == "fifo") check(::mkfifo(at.c_str(), 0600) == 0);
    if (kind == "device") check(::mknod(at.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0);
    if (kind != "terminal") return;
    check(::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);  // open until the process ends
    check(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    oakenmere::platform::UniqueFd(::open(at.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    check(::mount(::ptsname(master), at.c_str(), nullptr, MS_BIND, nullptr) == 0);
}

// Such a lock file or record makes the package invalid, and the preview reads no summary from one; it is never waited on, and a
// terminal never becomes the reader's own. Each open runs in a child leading a session without a terminal (where one would
// attach), killed by an alarm if it hangs.
TEST_F(LibraryBundleStoreTest, PackageFilesThatAreNotRegularFilesAreRefusedWithoutWaiting) {
    if (::geteuid() != 0) GTEST_SKIP() << "devices and mounts need root";
    const std::pair<std::string, std::string> cases[] = {
        {".brightloft.lock", "fifo"}, {".brightloft.lock", "folder"}, {".brightloft.lock", "device"}, {".brightloft.lock", "terminal"},
        {"Info.plist", "fifo"},       {"Info.plist", "terminal"},     {"Summary.json", "fifo"},       {"Summary.json", "terminal"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string &entry = cases[i].first, &kind = cases[i].second;
        SCOPED_TRACE(entry + " replaced by " + kind);
        const fs::path package = makePackage("Odd-" + std::to_string(i) + ".oakenmere"), outcome = dir / ("outcome-" + std::to_string(i));
        const pid_t child = forkRunning([&] {
            ::alarm(10);
            check(::setsid() >= 0);
            placeNonRegularFile(kind, package / entry);
            LibraryBundleStore opening;
            const std::string failure = entry.starts_with("Summary")
                                            ? (LibraryPreviewSummaryStore().read(package).summary ? "a summary" : "invalidBundle")
                                            : openFailure(opening, package);
            const bool terminal = bool(oakenmere::platform::UniqueFd(::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC)));
            dir.writeFile(outcome, failure + (terminal ? ", and took the terminal" : ""));
        });
        EXPECT_TRUE(exitedWith(waitFor(child), 0));
        EXPECT_EQ(dir.readFile(outcome), "invalidBundle");
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

    fs::path program = oakenmereProgram();
    LibraryDescriptor made;
    std::optional<ChildProcess> holder;
};

TEST_F(LibraryHeldByAnotherProcess, OthersAreRefusedUntilTheHolderDies) {
    ChildProcess second({program, "open", lib});
    EXPECT_TRUE(exitedWith(second.finish(), 1));
    EXPECT_EQ(second.errors(), "oakenmere: This library is already open in another window or application.\n");
    EXPECT_EQ(second.output(), "");
    // The package folder is locked too: a lock file removed or replaced lets nobody in.
    fs::remove(lib / ".brightloft.lock");
    EXPECT_TRUE(LibraryLock::isHeldElsewhere(lib));
    EXPECT_EQ(openFailure(store, lib), "libraryInUse");
    dir.writeFile(lib / ".brightloft.lock", "");
    EXPECT_EQ(openFailure(store, lib), "libraryInUse");

    ::kill(holder->pid(), SIGKILL);
    EXPECT_TRUE(killedBy(holder->finish(), SIGKILL));
    EXPECT_FALSE(LibraryLock::isHeldElsewhere(lib));
    EXPECT_EQ(store.open(lib).id, made.id);
}

TEST_F(LibraryHeldByAnotherProcess, CtrlCClosesItCleanly) {
    ::kill(holder->pid(), SIGINT);
    EXPECT_TRUE(exitedWith(holder->finish(), 0));
    EXPECT_EQ(holder->output(), "Opened \u201CHoliday\u201D (" + made.id.string() +
                                    ")\nHolding it open; press Ctrl-C to close it.\nClosed \u201CHoliday\u201D\n");
    EXPECT_EQ(holder->errors(), "");
    EXPECT_EQ(store.open(lib).id, made.id);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
