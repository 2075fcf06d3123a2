// `oakenmere preview LIBRARY`: what a library's preview shows, read without changing anything.
#include <cstdio>
#include <string>

#include "LibraryBundle/preview/LibraryPreviewSummaryStore.h"
#include "oakenmere/commands.h"
#include "platform/json.h"
#include "platform/sha256.h"

namespace oakenmere::cli {

namespace {

platform::Json previewJson(const LibraryBundle::LibraryPreview& preview) {
    platform::Json json = {{"name", preview.name}, {"summary", nullptr}, {"contactSheet", nullptr}};
    if (preview.summary) json["summary"] = platform::parseJson(platform::asBytes(preview.summary->encodeJSON()));
    if (preview.contactSheet)
        json["contactSheet"] = {{"bytes", preview.contactSheet->size()},
                                {"sha256", platform::Sha256::hexOf(*preview.contactSheet)}};
    return json;
}

}  // namespace

void addPreviewCommand(CLI::App& app) {
    auto* command = app.add_subcommand("preview", "Show a library's preview without changing anything.");
    auto library = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    command->add_option("LIBRARY", *library, "The library package (.oakenmere or .brightloft)")->required();
    command->add_flag("--json", *json, "Print the preview the library holds as JSON");
    command->callback([library, json] {
        LibraryBundle::LibraryPreviewSummaryStore store;
        LibraryBundle::LibraryPreview preview = store.read(*library);
        if (*json) {
            std::printf("%s\n", platform::encodePrettyJson(previewJson(preview)).c_str());
            return;
        }
        std::printf("%s\n", preview.name.c_str());
        if (!preview.summary) {
            std::printf("No summary yet.\n");
            return;
        }
        std::printf("%lld items, %lld versions (catalogue revision %lld)\n",
                    static_cast<long long>(preview.summary->captureCount()),
                    static_cast<long long>(preview.summary->versionCount()),
                    static_cast<long long>(preview.summary->catalogRevision()));
        if (preview.contactSheet) std::printf("Contact sheet: %zu bytes\n", preview.contactSheet->size());
    });
}

}  // namespace oakenmere::cli
