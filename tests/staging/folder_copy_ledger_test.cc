// The copier's ledger reads back every record whose append returned, whatever was torn after it,
// also when the appending process is killed at random moments.
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "LibraryBundle/copying/source_identity.h"
#include "LibraryBundle/staging/folder_copy_ledger.h"
#include "platform/file_io.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Entry = FolderCopyLedger::Entry;
using Entries = std::map<std::string, Entry>;

Entry entryFor(const std::string& source, int n = 0) {
    const SourceIdentity identity{7 - n, 90u + n, 1000 + n, 1'700'000'000 + n, n, 1, 999'999'999 - n};
    return {identity, source, "copies/" + source, std::string(64, 'a' + n % 6), n % 2 == 0, n % 3 == 0};
}
std::string lineOf(const Entry& entry) { return entry.encodeJSON() + "\n"; }

TEST(FolderCopyLedger, ReadsEachSourcesLastWholeRecord) {
    TempDir dir;
    const FolderCopyLedger ledger(dir.makeFolder("job"));
    EXPECT_EQ(ledger.entries(), Entries{});
    const Entry a = entryFor("a"), a2 = entryFor("a", 1), b = entryFor("b", 2);
    std::string withoutOwned = lineOf(entryFor("c", 3)), torn = lineOf(b).substr(0, lineOf(b).size() - 2);  // "}\n" lost
    withoutOwned.erase(withoutOwned.find("\"owned\":true,"), 13);
    const std::pair<std::string, Entries> cases[] = {
        {lineOf(a) + torn, {{"a", a}}},
        {lineOf(a) + lineOf(b) + lineOf(a2), {{"a", a2}, {"b", b}}},
        {withoutOwned,
         {{"c",
           [] {
               Entry c = entryFor("c", 3);
               c.owned = false;
               return c;
           }()}}},
        {"\n\n" + lineOf(a) + "{\"source\":\"b\"}\nnot json\n", {{"a", a}}},
    };
    for (auto [file, expected] : cases) {
        dir.writeFile(fs::path("job") / FolderCopyLedger::fileName, file);
        EXPECT_EQ(ledger.entries(), expected) << file;
        // The next append steps over a torn last line and keeps everything before it.
        ledger.append(b);
        expected.insert_or_assign("b", b);
        EXPECT_EQ(ledger.entries(), expected) << file;
    }
}

TEST(FolderCopyLedger, KeepsClaimsUntilReleasedAndReportsAShortWrite) {
    TempDir dir;
    const FolderCopyLedger ledger(dir.makeFolder("job"));
    for (const auto& [name, released] : {std::pair{"a.jpg", false}, {"a.jpg", true}, {"b.jpg", false}, {"never claimed.jpg", true}})
        ledger.appendClaim(name, released);
    EXPECT_EQ(ledger.claimed(), std::set<std::string>{"b.jpg"});
    ledger.append(entryFor("a"));
    {
        FaultInjectionFileSystem shortWrites;
        shortWrites.shorten(FaultInjectionFileSystem::Call::write, 1, 10);
        EXPECT_EQ(failureOf([&] { ledger.append(entryFor("b", 1)); }), "errno EIO");
    }
    ledger.append(entryFor("c", 2));
    EXPECT_EQ(ledger.entries(), (Entries{{"a", entryFor("a")}, {"c", entryFor("c", 2)}}));
}

TEST(FolderCopyLedger, MatchesOnlyTheUnchangedFile) {
    TempDir dir;
    const std::pair<const char*, std::function<void(const fs::path&)>> changes[] = {
        {"none", [](const fs::path&) {}},
        {"modified 1 ns later", [](const fs::path& p) { fs::last_write_time(p, fs::last_write_time(p) + std::chrono::nanoseconds(1)); }},
        {"deleted", [](const fs::path& p) { fs::remove(p); }}};
    for (const auto& [change, make] : changes) {
        const fs::path file = dir.writeFile(std::string(change) + ".jpg", "picture");
        const Entry entry{SourceIdentity::capture(file), file, "x", "", false, true};
        make(file);
        EXPECT_EQ(entry.matches(file), change == changes[0].first) << change;
    }
}

// Each round a child appends until killed, telling the parent through a pipe how many appends
// have returned; those must all be read back, and nothing but what some child or the parent wrote.
TEST(FolderCopyLedger, AKilledAppenderLosesNoReturnedRecordAndInventsNone) {
    TempDir dir;
    const FolderCopyLedger ledger(dir.makeFolder("job"));
    std::mt19937 random(20240917);
    std::uniform_int_distribution<useconds_t> delay(0, 25'000);
    Entries possible, required;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto entry = [&](int n) { return entryFor(std::to_string(round) + "-" + std::to_string(n), n); };
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        platform::UniqueFd reports(ends[0]), reporter(ends[1]);
        const pid_t child = forkRunning([&] {
            for (int n = 0;; ++n) {
                ledger.append(entry(n));
                platform::writeAll(reporter, platform::asBytes("."), "report");  // one byte per returned append
            }
        });
        reporter.reset();
        ::usleep(delay(random));
        ::kill(child, SIGKILL);
        EXPECT_TRUE(killedBy(waitFor(child), SIGKILL));
        platform::Bytes block(4096);
        int returned = 0;
        while (std::size_t n = platform::readSome(reports, block)) returned += static_cast<int>(n);
        // The kill may fall between an append and its report: one more record may be there.
        for (int n = 0; n <= returned; ++n) {
            possible.insert_or_assign(entry(n).source, entry(n));
            if (n < returned) required.insert_or_assign(entry(n).source, entry(n));
        }
        const Entry own = entryFor("parent-" + std::to_string(round), round);  // appended over whatever the kill tore
        ledger.append(own);
        for (Entries* into : {&possible, &required}) into->insert_or_assign(own.source, own);
        const Entries read = ledger.entries();
        for (const auto& [source, e] : required) EXPECT_EQ(read.count(source) ? read.at(source) : Entry{}, e) << source;
        for (const auto& [source, e] : read) EXPECT_EQ(possible.count(source) ? possible.at(source) : Entry{}, e) << source;
        if (::testing::Test::HasFailure()) break;
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
