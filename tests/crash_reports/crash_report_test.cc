// Keeping diagnostic reports: what the filter keeps and redacts, how report files are named,
// sorted and pruned, the keeper's switch, and a report full of private data that must come out
// of the kept file without a trace while its diagnostic numbers stay as they were.
#include <gtest/gtest.h>

#include "LibraryBundle/crash_reports/crash_report_filter.h"
#include "LibraryBundle/crash_reports/crash_report_keeper.h"
#include "platform/json.h"
#include "support/temp_dir.h"

namespace oakenmere::LibraryBundle {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using platform::Json;

const platform::Date kStamp = platform::Date::fromUnixSeconds(1796365974.75);  // 2026-12-04 06:32:54.75 UTC

Json filteredJson(const std::string& payload) {
    auto kept = CrashReportFilter::filtered(platform::asBytes(payload), "/home/annsmith", "annsmith");
    return kept ? platform::parseJson(platform::asBytes(*kept)) : Json();
}

std::vector<std::string> fileNames(const std::vector<fs::path>& paths) {
    std::vector<std::string> names;
    for (const fs::path& path : paths) names.push_back(path.filename().string());
    return names;
}

TEST(CrashReportFilter, KeepsOnlyAllowedKeysAndPayloadsWithDiagnostics) {
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> cases{  // payload, what is kept ("null": nothing)
        {R"({"timeStampBegin": "a", "timeStampEnd": "b"})", "null"},
        {R"({"crashDiagnostics": [1, "x", null, []], "timeStampEnd": "b"})", "null"},
        {R"({"crashDiagnostics": {"version": "1"}})", "null"},
        {R"([{"crashDiagnostics": [{}]}])", "null"},
        {R"({"crashDiagnostics": [{}])", "null"},
        {R"({"crashDiagnostics": [1], "hangDiagnostics": [2, {"version": 3, "extra": 4}], "other": 5})",
         R"({"hangDiagnostics": [{"version": 3}]})"},
        {R"({"appLaunchDiagnostics": [{"diagnosticMetaData": {"exceptionReason": {"exceptionType": "a", "exceptionName": "b",
             "className": "c", "formatString": "d", "composedMessage": "e", "arguments": ["f"]}, "signal": 11, "pid": 7}}]})",
         R"({"appLaunchDiagnostics": [{"diagnosticMetaData": {"exceptionReason": {"exceptionType": "a", "exceptionName": "b",
             "className": "c", "formatString": "d"}, "signal": 11}}]})"},
        {R"({"crashDiagnostics": [{"callStackTree": {"callStacks": [1, {"callStackRootFrames": [{"address": 1,
             "subFrames": [{"subFrames": [{"sampleCount": 2, "symbol": "x"}], "file": "y"}]}, 2], "z": 1}],
             "callStackPerThread": true, "w": 1}, "diagnosticMetaData": "text"}]})",
         R"({"crashDiagnostics": [{"callStackTree": {"callStacks": [{"callStackRootFrames": [{"address": 1,
             "subFrames": [{"subFrames": [{"sampleCount": 2}]}]}]}], "callStackPerThread": true}}]})"},
        {R"({"cpuExceptionDiagnostics": [{"callStackTree": {"callStacks": [2]}, "version": ["~/a", {"k": "/tmp/b"}]}]})",
         R"({"cpuExceptionDiagnostics": [{"callStackTree": {"callStacks": []}, "version": ["<path>", {"k": "<path>"}]}]})"},
    };
    // clang-format on
    for (const auto& [payload, kept] : cases) EXPECT_EQ(filteredJson(payload), Json::parse(kept)) << payload;

    // Pretty-printed with sorted keys, and a kept report filters to itself.
    const std::string report =
        *CrashReportFilter::filtered(platform::asBytes(R"({"hangDiagnostics":[{"version":"1"}],"timeStampBegin":0})"), "", "");
    EXPECT_EQ(report, "{\n  \"hangDiagnostics\": [\n    {\n      \"version\": \"1\"\n    }\n  ],\n  \"timeStampBegin\": 0\n}");
    EXPECT_EQ(CrashReportFilter::filtered(platform::asBytes(report), "", ""), report);

    // Nesting deep enough to exhaust the stack is refused; a report's own depth is not.
    const auto nested = [](std::size_t depth) {
        return R"({"crashDiagnostics": [{}], "timeStampBegin": )" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    EXPECT_TRUE(filteredJson(nested(100)).contains("timeStampBegin"));
    EXPECT_EQ(filteredJson(nested(1'000'000)), Json());
}

TEST(CrashReportFilter, RedactsPathsHomeAndUserName) {
    // clang-format off
    const std::vector<std::array<std::string, 4>> cases{  // text, home, user name, redacted
        {"Failed at /Users/someone/Desktop/x.txt now", "", "", "Failed at <path>"},
        {"open \"/tmp/a b/c\" failed", "", "", "open \"<path>\" failed"},
        {"open \u201C/tmp/a\" b\u201D and \u2018~/c\u2019 d", "", "", "open \u201C<path>\u201D and \u2018<path>\u2019 d"},
        {"‘~/x’ and ‘/Volumes/y z’ end", "", "", "‘<path>’ end"},
        {"`file:///private/tmp/x` then /var/folders/q r", "", "", "`<path>` then <path>"},
        {"say \"/private/var/folders/x", "", "", "say \"<path>"},
        {"(/tmp/x) and /home/x/y", "", "", "(<path>"},
        {"a /tmp/x\n\n\"~/y\" b\n", "", "", "a <path>\n\n\"<path>\" b\n"},
        {"/ is root, /srv/x", "/", "ab", "/ is root, /srv/x"},
        {"read /media/ann/CARD/DCIM/x.JPG, /mnt/y", "", "", "read <path>"},
        {"'/run/media/ann/B/x' \"/home/ann/y\"", "", "", "'<path>' \"<path>\""},
        {"ab cab ab", "", "ab", "ab cab ab"},
        {"abc xabcx abcabc", "", "abc", "<user> x<user>x <user><user>"},
        {"in /srv/annsmith/x of annsmith", "/srv/annsmith", "annsmith", "in <path>/x of <user>"},
        {"e\u0301e\u0301 is two characters", "", "e\u0301e\u0301", "e\u0301e\u0301 is two characters"},
        {"\u0600\"/tmp/a\" b", "", "", "\u0600\"<path>"},  // the mark is part of a larger character
    };
    // clang-format on
    for (const auto& [text, home, user, expected] : cases) EXPECT_EQ(CrashReportFilter::redacted(text, home, user), expected) << text;
}

TEST(CrashReportFolder, NamesSortsAndPrunesReports) {
    TempDir dir;
    EXPECT_EQ(CrashReportFolder::fileName(kStamp), "Crash report 2026-12-04 06.32.54.json");
    EXPECT_EQ(CrashReportFolder::fileName(kStamp, 12), "Crash report 2026-12-04 06.32.54 12.json");
    EXPECT_EQ(CrashReportFolder::fileName(platform::Date{-0.5}), "Crash report 2000-12-31 23.59.59.json");
    EXPECT_EQ(CrashReportFolder(dir / "r", 0).limit(), 1);
    EXPECT_TRUE(CrashReportFolder(dir / "missing").reports().empty());

    // Twelve reports in one second and nine in the next: the oldest of 21 goes, " 10" follows " 9".
    const CrashReportFolder folder(dir / "a" / "Reports");
    dir.writeFile("a/Reports/notes.txt", "x");
    dir.writeFile("a/Reports/Crash report.json", "x");
    std::vector<std::string> expected;
    for (int i = 0; i < 21; ++i) {
        const platform::Date date{kStamp.secondsSinceReferenceDate + (i < 12 ? 0 : 1)};
        const fs::path saved = folder.save(platform::asBytes(std::to_string(i)), date);
        EXPECT_EQ(saved.filename(), CrashReportFolder::fileName(date, i < 12 ? i + 1 : i - 11));
        if (i > 0) expected.push_back(saved.filename().string());
    }
    EXPECT_EQ(fileNames(folder.reports()), expected);
    EXPECT_EQ(namesIn(folder.url()).size(), 22u);  // the two other files stay

    // A number needs digits after at most one sign; a name without one sorts by its whole stamp.
    for (const char* name :
         {"Crash report 2026-12-04 06.32.54 +-5.json", "Crash report 2026-12-04 06.32.54.json", "Crash report 2026-12-04 06.32.54 -3.json"})
        dir.writeFile(std::string("signs/") + name, "x");
    EXPECT_EQ(fileNames(CrashReportFolder(dir / "signs").reports()),
              (std::vector<std::string>{"Crash report 2026-12-04 06.32.54 -3.json", "Crash report 2026-12-04 06.32.54.json",
                                        "Crash report 2026-12-04 06.32.54 +-5.json"}));

    // A limit of 0 keeps the newest report alone.
    const CrashReportFolder one(dir / "one", 0);
    one.save(platform::asBytes("old"), kStamp);
    const fs::path newest = one.save(platform::asBytes("new"), kStamp);
    EXPECT_EQ(one.reports(), std::vector<fs::path>{newest});
}

TEST(CrashReportKeeper, KeepsReportsOnlyWhileSwitchedOn) {
    TempDir dir;
    int subscribed = 0, unsubscribed = 0;
    CrashReportKeeper keeper(
        CrashReportFolder(dir / "Reports", 2), "/home/annsmith", "annsmith", [&] { ++subscribed; }, [&] { ++unsubscribed; });
    const std::vector<platform::Bytes> payloads{platform::toBytes(R"({"crashDiagnostics": [{"version": "1"}]})"), platform::toBytes("{"),
                                                platform::toBytes(R"({"hangDiagnostics": [{}]})")};

    EXPECT_TRUE(keeper.receive(payloads, kStamp).empty());
    EXPECT_FALSE(fs::exists(dir / "Reports"));
    keeper.setKeeping(true);
    keeper.setKeeping(true);
    EXPECT_TRUE(keeper.isKeeping());
    EXPECT_EQ(fileNames(keeper.receive(payloads, kStamp)),
              (std::vector<std::string>{CrashReportFolder::fileName(kStamp), CrashReportFolder::fileName(kStamp, 2)}));
    keeper.setKeeping(false);
    keeper.setKeeping(false);
    EXPECT_TRUE(keeper.receive(payloads, kStamp).empty());
    EXPECT_EQ(std::make_pair(subscribed, unsubscribed), std::make_pair(1, 1));
    EXPECT_EQ(keeper.folder().reports().size(), 2u);

    // A folder that cannot be made loses its reports quietly.
    dir.writeFile("file", "x");
    CrashReportKeeper blocked(CrashReportFolder(dir / "file" / "Reports"), "", "", {}, {});
    blocked.setKeeping(true);
    EXPECT_TRUE(blocked.receive(payloads, kStamp).empty());
}

TEST(CrashReportKeeper, KeptFileHoldsNoPrivateDataAndEveryDiagnosticNumber) {
    // clang-format off
    const Json allowed = Json::parse(R"({
      "timeStampBegin": "2026-12-04 06:32:00", "timeStampEnd": 1796365974,
      "crashDiagnostics": [{"version": "1.0.0",
        "callStackTree": {"callStackPerThread": true, "callStacks": [{"threadAttributed": true, "callStackRootFrames": [
          {"binaryUUID": "0F1C9B7E-2D4A-4E5B-9C3D-1A2B3C4D5E6F", "offsetIntoBinaryTextSegment": 123456, "sampleCount": 1,
           "binaryName": "oakenmere", "address": 4295032832,
           "subFrames": [{"binaryUUID": "1A2B3C4D-0000-4E5B-9C3D-1A2B3C4D5E6F", "offsetIntoBinaryTextSegment": 17, "address": 74565}]}]}]},
        "diagnosticMetaData": {"appVersion": "2.3", "appBuildVersion": "231", "osVersion": "Linux 6.1", "deviceType": "x86_64",
          "platformArchitecture": "x86_64", "isTestFlightApp": false, "lowPowerModeEnabled": false,
          "bundleIdentifier": "org.oakenmere.Oakenmere", "exceptionType": 1, "exceptionCode": 0, "signal": 11,
          "terminationReason": "", "virtualMemoryRegionInfo": "0x0 is not in any region.", "hangDuration": "3 sec",
          "writesCaused": "2,049 MB", "totalCPUTime": "90 sec", "totalSampledTime": "100 sec", "launchDuration": 2.5,
          "exceptionReason": {"exceptionType": "NSInvalidArgumentException", "exceptionName": "NSInvalidArgumentException",
                              "className": "OakLibrary", "formatString": "cannot read %@"}}}]})");
    // The same report with private data in every field the filter drops and in the free text of those it keeps.
    Json payload = allowed;
    const std::string photo = "/home/annsmith/Pictures/IMG_0042.JPG", library = "/Users/annsmith/Pictures/Holiday.oakenmere";
    payload["userName"] = "annsmith";
    payload["homeFolder"] = "/home/annsmith";
    payload["crashDiagnostics"].push_back("/home/annsmith/IMG_0042.JPG");
    Json& diagnostic = payload["crashDiagnostics"][0];
    diagnostic["documentPath"] = photo;
    diagnostic["callStackTree"]["openFiles"] = {photo, library};
    Json& frame = diagnostic["callStackTree"]["callStacks"][0]["callStackRootFrames"][0];
    frame["sourcePath"] = library + "/Masters/IMG_0042.JPG";
    frame["subFrames"][0]["symbol"] = "annsmith's Holiday.oakenmere";
    Json& metadata = diagnostic["diagnosticMetaData"];
    metadata["libraryPath"] = library;
    metadata["exceptionReason"]["composedMessage"] = "cannot read " + photo;
    metadata["exceptionReason"]["arguments"] = {photo, "annsmith"};
    metadata["terminationReason"] = "Namespace SIGNAL for \"" + library + "/Masters/IMG_0042.JPG\" (annsmith)\nhome /home/annsmith";
    metadata["virtualMemoryRegionInfo"] = "0x0 is not in any region.\nfile://" + library + "/Database/IMG_0042.JPG.sqlite";
    metadata["exceptionReason"]["formatString"] = "cannot read \u2018~/Pictures/IMG_0042.JPG\u2019 of annsmith";
    frame["binaryName"] = "/tmp/annsmith/Holiday.oakenmere/oakenmere";
    // clang-format on

    TempDir dir;
    CrashReportKeeper keeper(CrashReportFolder(dir / "Reports"), "/home/annsmith", "annsmith", {}, {});
    keeper.setKeeping(true);
    const auto kept = keeper.receive({platform::toBytes(payload.dump())}, kStamp);
    ASSERT_EQ(kept.size(), 1u);
    const std::string bytes = contentsOf(kept[0]);
    for (const char* secret : {"annsmith", "/home", "\\/home", "Pictures", "IMG_0042", "Holiday", "oakenmere\\/", "Users", "~"})
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;

    Json expected = allowed;
    Json& keptMetadata = expected["crashDiagnostics"][0]["diagnosticMetaData"];
    keptMetadata["terminationReason"] = "Namespace SIGNAL for \"<path>\" (<user>)\nhome <path>";
    keptMetadata["virtualMemoryRegionInfo"] = "0x0 is not in any region.\n<path>";
    keptMetadata["exceptionReason"]["formatString"] = "cannot read \u2018<path>\u2019 of <user>";
    expected["crashDiagnostics"][0]["callStackTree"]["callStacks"][0]["callStackRootFrames"][0]["binaryName"] = "<path>";
    EXPECT_EQ(platform::parseJson(platform::asBytes(bytes)), expected);
}

}  // namespace
}  // namespace oakenmere::LibraryBundle
