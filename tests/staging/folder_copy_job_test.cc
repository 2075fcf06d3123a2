// A folder copy job survives being written, read back by this or another writer's JSON, a cut-off
// save, and being finished with or without files left to retry. Saving replaces job.json through
// the atomic record writer, whose failures and power cuts AtomicWrite sweeps.
#include <gtest/gtest.h>
#include <limits>

#include "LibraryBundle/staging/folder_copy_job.h"
#include "platform/logger.h"
#include "support/child_process.h"
#include "support/failure.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using platform::toBytes;

FolderCopyJob sampleJob() {
    return {platform::Uuid::random(),
            "/photos/2024",
            toBytes("dest\x01"),
            {toBytes("a"), toBytes("")},
            toBytes("{opts}"),
            {{"/card/A.JPG", "A.JPG", 10}, {"/card/B.CR3", "raw/B.CR3", 20}, {"/card/C.MOV", "C.MOV", 30}},
            "/card/DCIM"};
}
FolderCopyJob decode(const std::string& text) { return FolderCopyJob::decodeJSON(platform::asBytes(text)); }

TEST(FolderCopyJob, EncodesDecodesAndDerivesJobs) {
    const FolderCopyJob full = sampleJob();
    const FolderCopyJob bare{full.id, full.destination, {}, {}, {}, full.copies, {}};
    EXPECT_TRUE(decode(full.encodeJSON()) == full && decode(bare.encodeJSON()) == bare);
    for (const char* key : {"destinationBookmark", "importOptions", "movingDownloadsFrom"})
        EXPECT_EQ(bare.encodeJSON().find(key), std::string::npos) << key;

    // Another writer's JSON: spaced, a lower-case id, no bookmarks, and a key this version does not know.
    const std::string id = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
    const FolderCopyJob other =
        decode(python("import json, sys; print(json.dumps({'id': sys.argv[1], 'destination': '/d', 'later': [1],"
                      " 'copies': [{'source': '/s/x', 'relativePath': 'x', 'byteCount': 5}]}))",
                      {id}));
    EXPECT_EQ(other.id, *platform::Uuid::parse(id));
    EXPECT_TRUE(other.sourceBookmarks.empty() && !other.importOptions && !other.destinationBookmark && !other.movingDownloadsFrom);
    EXPECT_EQ(other.copies, (std::vector<FolderCopyJob::Copy>{{"/s/x", "x", 5}}));

    const std::string good = full.encodeJSON();
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        return text.replace(text.find(from), from.size(), to);
    };
    for (const std::string& broken :
         {replaced("\"id\"", "\"ident\""), replaced("\"destination\":\"", "\"destination\":2,\"_\":\""),
          replaced("\"byteCount\":10", "\"byteCount\":\"10\""), replaced("\"importOptions\":\"", "\"importOptions\":\"*"),
          replaced("\"sourceBookmarks\":[\"", "\"sourceBookmarks\":[\"!"), good.substr(0, good.size() - 1), std::string()})
        EXPECT_EQ(failureOf([&] { decode(broken); }), "decoding") << broken;

    FolderCopyJob job = full;
    EXPECT_EQ(job.totalBytes(), 60);
    const FolderCopyJob retry = job.retrying({"/card/C.MOV", "/card/A.JPG", "/elsewhere"});
    EXPECT_NE(retry.id, job.id);
    EXPECT_EQ(retry.copies, (std::vector<FolderCopyJob::Copy>{job.copies[0], job.copies[2]}));
    EXPECT_EQ(retry.destination, job.destination);
    FolderCopyJob reversed = job;
    std::reverse(reversed.copies.begin(), reversed.copies.end());
    EXPECT_EQ(reversed.retrying({"/card/A.JPG", "/card/C.MOV"}).copies, (std::vector<FolderCopyJob::Copy>{job.copies[2], job.copies[0]}));
    EXPECT_EQ(job.moving("/card/./DCIM/../DCIM/100/").movingDownloadsFrom, "/card/DCIM/100");
    EXPECT_EQ(job.moving("dl/x/..").movingDownloadsFrom, (fs::current_path() / "dl").string());
    job.copies.push_back({"/card/huge", "huge", std::numeric_limits<std::int64_t>::max()});
    EXPECT_THROW(job.totalBytes(), std::overflow_error);
}

TEST(FolderCopyArea, ListsSavesAndFinishesJobs) {
    TempDir dir;
    const fs::path package = dir.makeLibrary(), inArea = package.filename() / FolderCopyArea::relativePath, area = dir / inArea;
    EXPECT_TRUE(FolderCopyArea::jobs(package).empty());
    const FolderCopyJob job = sampleJob();
    const fs::path folder = FolderCopyArea::save(job, package);
    EXPECT_EQ(folder, area / job.id.string() / "");
    EXPECT_EQ(FolderCopyArea::save(job.with(toBytes("new")), package), folder);
    EXPECT_EQ(FolderCopyArea::load(folder), job.with(toBytes("new")));
    EXPECT_EQ(namesIn(folder), std::vector<std::string>{"job.json"});

    const std::string lower = "00000000-0000-4000-8000-00000000000a", upper = "FFFFFFFF-0000-4000-8000-000000000000";
    for (const std::string& name : {lower, upper, std::string("notes"), lower.substr(1)}) dir.makeFolder(inArea / name);
    dir.makeSymlink(dir.makeFolder("outside"), inArea / "11111111-0000-4000-8000-000000000000");
    std::vector<fs::path> expected{area / job.id.string() / "", area / upper / "", area / lower / ""};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FolderCopyArea::jobs(package), expected);
    // A name that is not UTF-8 cannot be recorded faithfully: refused before anything is written.
    FolderCopyJob unnamed = sampleJob();
    unnamed.copies[0].source = "/card/\xFF.JPG";
    EXPECT_THROW(FolderCopyArea::save(unnamed, package), std::invalid_argument);
    EXPECT_FALSE(fs::exists(area / unnamed.id.string()));

    // An unreadable job is logged and kept for a later look.
    std::vector<platform::LogRecord> logged;
    platform::Logger::captureForTesting([&](const platform::LogRecord& record) { logged.push_back(record); });
    dir.writeFile(inArea / job.id.string() / "job.json", contentsOf(folder / "job.json").substr(0, 40));
    EXPECT_EQ(FolderCopyArea::loadForRecovery(folder), std::nullopt);
    platform::Logger::captureForTesting(nullptr);
    const std::string start = "Skipping unreadable folder copy job at " + (area / job.id.string()).string() + ": ";
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(std::tuple(logged[0].level, logged[0].category, logged[0].message.substr(0, start.size())),
              std::tuple(platform::LogLevel::error, "folder-copy", start));
    EXPECT_TRUE(fs::exists(folder / "job.json"));

    // Finishing with nothing failed, with failures of files not in the job, and with two of its files failed.
    for (const std::set<std::string>& failed : {std::set<std::string>{}, {"/card/none"}, {"/card/B.CR3", "/card/A.JPG"}}) {
        const fs::path saved = FolderCopyArea::save(job, package);
        const auto next = FolderCopyArea::finish(saved, failed, package);
        EXPECT_FALSE(fs::exists(saved));
        EXPECT_EQ(next.has_value(), failed.size() == 2);
        EXPECT_TRUE(!next || FolderCopyArea::load(*next).copies == (std::vector<FolderCopyJob::Copy>{job.copies[0], job.copies[1]}));
        EXPECT_EQ(FolderCopyArea::jobs(package).size(), 2u + next.has_value());  // the two bare folders made above, and `next`
    }
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
