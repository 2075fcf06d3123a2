#include "oakenmere/import_report.h"

#include "oakenmere/output.h"
#include "platform/json.h"
#include "platform/locale_format.h"
#include "platform/printable.h"

namespace oakenmere::cli {

void reportImport(const ImportTotals& totals, const std::string& name, bool json) {
    if (json) {
        platform::Json report{{"imported", totals.published},
                              {"importedBytes", totals.publishedBytes},
                              {"alreadyInLibrary", totals.duplicates},
                              {"skipped", totals.skipped},
                              {"leftAlone", totals.leftAlone},
                              {"unreadableFolders", totals.unreadableFolders},
                              {"notUtf8Names", totals.unnamable},
                              {"keptCopies", totals.keptCopies},
                              {"failed", totals.failures},
                              {"failureReasons", totals.failureReasons}};
        if (const auto& camera = totals.camera)
            report["camera"] = {
                {"name", camera->name},        {"downloaded", camera->downloaded}, {"downloadedBytes", camera->downloadedBytes},
                {"emptyFiles", camera->empty}, {"deleted", camera->deleted},       {"unsafeNames", camera->unsafeNames},
                {"keptOnCamera", camera->kept}};
        printJson(report);
        return;
    }
    platform::LocaleFormat format;
    const auto files = [&](std::int64_t n) { return format.integer(n) + (n == 1 ? " file" : " files"); };
    std::string line = "Imported " + files(totals.published) + " (" + format.fileSize(totals.publishedBytes) + ") into \u201C" +
                       platform::printable(name) + "\u201D";
    if (totals.duplicates > 0) line += "; " + format.integer(totals.duplicates) + " already in the library";
    if (totals.skipped > 0)
        line += "; " + format.integer(totals.skipped) + (totals.skipped == 1 ? " other file" : " other files") + " skipped";
    if (totals.leftAlone > 0)
        line += "; " + format.integer(totals.leftAlone) +
                (totals.leftAlone == 1 ? " hidden file, link or special file" : " hidden files, links or special files") + " left alone";
    printOut(line + "\n");
    if (const auto& camera = totals.camera) {
        std::string from = "Downloaded " + files(camera->downloaded) + " (" + format.fileSize(camera->downloadedBytes) + ") from \u201C" +
                           platform::printable(camera->name) + "\u201D";
        if (camera->deleted > 0) from += "; deleted " + files(camera->deleted) + " from it, each proven to be in the library";
        if (camera->empty > 0)
            from += "; " + format.integer(camera->empty) + (camera->empty == 1 ? " empty file" : " empty files") + " left on it";
        printOut(from + "\n");
    }
    if (!totals.unreadableFolders.empty()) {
        printOut(format.integer(static_cast<std::int64_t>(totals.unreadableFolders.size())) +
                 (totals.unreadableFolders.size() == 1 ? " folder" : " folders") + " could not be read and were passed over:\n");
        for (const std::string& folder : totals.unreadableFolders) printOut("  " + platform::printable(folder) + "\n");
    }
    if (totals.failures > 0) {
        printOut(files(totals.failures) + " could not be imported and will be tried again by the next import:\n");
        for (const std::string& reason : totals.failureReasons) printOut("  " + platform::printable(reason) + "\n");
    }
    const auto list = [](const std::string& heading, const std::vector<std::string>& paths) {
        if (paths.empty()) return;
        printOut(heading + "\n");
        for (const std::string& path : paths) printOut("  " + platform::printable(path) + "\n");
    };
    list("Files that changed while they were copied; the copies made of them are kept at:", totals.keptCopies);
    list("Files whose names are not UTF-8 text can\u2019t be recorded; rename them and import them again:", totals.unnamable);
    if (const auto& camera = totals.camera) {
        list("Files the camera names with \u201C/\u201D, \u201C..\u201D or an empty name were left on it:", camera->unsafeNames);
        list("Files kept on the camera:", camera->kept);
    }
}

}  // namespace oakenmere::cli
