#include "LibraryBundle/maintenance/identity_migration.h"

#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "support/child_process.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

using namespace oakenmere::testing;
using platform::Json;
using Outcome = IdentityMigration::Record::Outcome;
using Call = FaultInjectionFileSystem::Call;
const std::string kRecord(IdentityMigration::recordKey), kAttempts(IdentityMigration::attemptsKey);

struct Homes : TempDir {
    Host::MigrationContext context{path() / "earlier",
                                   path() / "current",
                                   "com.brightloft.Brightloft",
                                   "com.oakenmere.Oakenmere",
                                   path() / "config/settings.json",
                                   [] { return platform::Date{700}; }};
    fs::path earlier = makeFolder("earlier/.local/share/Brightloft"), current = path() / "current/.local/share/Brightloft";
    Json settings() const { return IdentityMigration::readDefaults(context.userDefaults); }
    IdentityMigration::Record run() const { return IdentityMigration::run(context).value(); }
};

TEST(IdentityMigration, ChoosesWhatToCopy) {
    const std::vector<IdentityMigration::SourceFile> files{{"b", true},    {"a/x", true},    {"dir", false}, {"../up", true},
                                                           {"/abs", true}, {"a/../b", true}, {"kept", true}, {"", true}};
    EXPECT_EQ(IdentityMigration::filesToCopy(files, {"kept"}), (std::vector<std::string>{"a/x", "b"}));
    EXPECT_EQ(IdentityMigration::settingsToCopy({{"k", 1}, {"same", 2}, {kRecord, 3}}, {{"same", 4}}), (Json{{"k", 1}}));
    EXPECT_EQ(IdentityMigration::legacyDefaultsPath("com.b.B"), ".config/com.b.B.json");
}

TEST(IdentityMigration, CopiesOnceWithoutReplacingAnything) {
    {
        Homes h;
        fs::remove_all(h / "earlier");
        const IdentityMigration::Record record = h.run();
        EXPECT_EQ(record, (IdentityMigration::Record{Outcome::nothingToCopy, 0, 0, 0, 0, record.milliseconds, {700}}));
        EXPECT_EQ(h.settings(), (Json{{kRecord, record.dictionary()}}));
    }
    Homes h;
    h.writeFile("earlier/.config/com.brightloft.Brightloft.json", R"({"theme":"dark","shared":1})");
    h.writeFile("config/settings.json", R"({"shared":2})");
    h.writeFile("earlier/.local/share/Brightloft/Presets/a.json", "A");
    h.writeFile("earlier/.local/share/Brightloft/b.txt", "B");
    h.writeFile("current/.local/share/Brightloft/b.txt", "mine");
    h.makeSymlink("/etc/passwd", "earlier/.local/share/Brightloft/link");
    const IdentityMigration::Record record = h.run();
    EXPECT_EQ(record.outcome, Outcome::copied);
    EXPECT_EQ(std::tuple(record.copiedFiles, record.skippedFiles, record.copiedSettings, record.failedFiles), std::tuple(1, 1, 1, 0));
    EXPECT_EQ(contentsOf(h.current / "Presets/a.json"), "A");
    EXPECT_EQ(contentsOf(h.current / "b.txt"), "mine");
    EXPECT_FALSE(fs::exists(h.current / "link"));
    const Json settings = h.settings();
    EXPECT_EQ(settings["theme"], "dark");
    EXPECT_EQ(settings["shared"], 2);
    EXPECT_EQ(settings[kRecord], record.dictionary());
    EXPECT_EQ(settings[kRecord]["outcome"], "copied");
    EXPECT_EQ(IdentityMigration::run(h.context), std::nullopt);
    EXPECT_TRUE(IdentityMigration::needsRecentLibrariesMarked(h.context.userDefaults));
    IdentityMigration::noteRecentLibrariesMarked(h.context.userDefaults);
    EXPECT_FALSE(IdentityMigration::needsRecentLibrariesMarked(h.context.userDefaults));
}

// Settings files and support folders that are links (as dotfile managers make them) are read and
// written through: the links stay, and the migration finishes.
TEST(IdentityMigration, FollowsLinkedSettingsAndFolders) {
    Homes h;
    h.writeFile("dotfiles/earlier.json", R"({"theme":"dark"})");
    h.writeFile("dotfiles/settings.json", R"({"grid":3})");
    h.writeFile("dotfiles/support/a.txt", "A");
    h.makeSymlink(h / "dotfiles/earlier.json", "earlier/.config/com.brightloft.Brightloft.json");
    h.makeSymlink(h / "dotfiles/settings.json", "config/settings.json");
    fs::remove_all(h.earlier);
    h.makeSymlink(h / "dotfiles/support", "earlier/.local/share/Brightloft");
    const IdentityMigration::Record record = h.run();
    EXPECT_EQ(std::tuple(record.copiedFiles, record.copiedSettings, record.failedFiles), std::tuple(1, 1, 0));
    EXPECT_TRUE(fs::is_symlink(h / "config/settings.json"));
    EXPECT_EQ(IdentityMigration::readDefaults(h / "dotfiles/settings.json").at("theme"), "dark");
    EXPECT_EQ(contentsOf(h.current / "a.txt"), "A");
}

TEST(IdentityMigration, RetriesAFailedFileFiveRunsAtMost) {
    Homes h;
    h.writeFile("earlier/.local/share/Brightloft/sub/a.txt", "A");
    h.writeFile("current/.local/share/Brightloft/sub", "a file where the folder would go");
    for (int run = 1; run <= 4; ++run) {
        EXPECT_EQ(h.run().outcome, Outcome::incomplete);
        EXPECT_EQ(h.settings(), (Json{{kAttempts, run}}));
    }
    const IdentityMigration::Record last = h.run();
    EXPECT_EQ(std::pair(last.outcome, last.failedFiles), std::pair(Outcome::copied, std::int64_t{1}));
    EXPECT_EQ(h.settings(), (Json{{kRecord, last.dictionary()}}));
    EXPECT_EQ(contentsOf(h.current / "sub"), "a file where the folder would go");
}

TEST(IdentityMigration, ARunKilledMidwayIsFinishedByTheNext) {
    Homes h;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) h.writeFile(h.earlier / name, name);
    const pid_t child = forkRunning([&] {
        FaultInjectionFileSystem disk;  // dies as the second file's copy is flushed, after the first is done
        disk.beforeCall(Call::flush, 3, [] { ::kill(::getpid(), SIGKILL); });
        IdentityMigration::run(h.context);
    });
    ASSERT_TRUE(killedBy(waitFor(child), SIGKILL));
    const auto left = namesIn(h.current);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_TRUE(left[0].starts_with(VerifiedFileCopy::temporaryPrefix)) << left[0];
    EXPECT_EQ(h.settings(), Json::object());
    const IdentityMigration::Record record = h.run();
    EXPECT_EQ(std::tuple(record.copiedFiles, record.skippedFiles, record.failedFiles), std::tuple(2, 1, 0));
    EXPECT_EQ(namesIn(h.current), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
    EXPECT_EQ(contentsOf(h.current / "b.txt"), "b.txt");
}

// Whatever changes between the check and the act, nothing is lost or replaced, and the next run
// finishes the work.
TEST(IdentityMigration, ALastMomentChangeLosesNothing) {
    {
        Homes h;
        h.writeFile("earlier/.local/share/Brightloft/a.txt", "A");
        {
            FaultInjectionFileSystem disk;  // someone takes the name just before the copy is published
            disk.beforeCall(Call::rename, 1, [&] { h.writeFile("current/.local/share/Brightloft/a.txt", "theirs"); });
            EXPECT_EQ(h.run().failedFiles, 1);
        }
        EXPECT_EQ(namesIn(h.current), std::vector<std::string>{"a.txt"});
        EXPECT_EQ(contentsOf(h.current / "a.txt"), "theirs");
    }
    {
        Homes h;
        h.writeFile("earlier/.local/share/Brightloft/a.txt", "A");
        {
            FaultInjectionFileSystem disk;  // the earlier file grows while it is copied
            disk.beforeCall(Call::flush, 1, [&] { h.writeFile("earlier/.local/share/Brightloft/a.txt", "A, later"); });
            EXPECT_EQ(h.run().failedFiles, 1);
        }
        EXPECT_EQ(namesIn(h.current), std::vector<std::string>{});
        EXPECT_EQ(h.run().copiedFiles, 1);
        EXPECT_EQ(contentsOf(h.current / "a.txt"), "A, later");
        EXPECT_EQ(h.settings()[kRecord]["failedFiles"], 0);
    }
    {
        Homes h;  // another writer changes the settings while they are edited
        h.writeFile("config/settings.json", R"({"a":1})");
        int edits = 0;
        IdentityMigration::updateDefaults(h.context.userDefaults, [&](Json& settings) {
            if (++edits == 1) h.writeFile("config/settings.json", R"({"a":1,"theirs":true})");
            settings["mine"] = true;
        });
        EXPECT_EQ(edits, 2);
        EXPECT_EQ(h.settings(), (Json{{"a", 1}, {"theirs", true}, {"mine", true}}));
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
