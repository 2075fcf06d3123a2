#include "LibraryBundle/maintenance/library_backup_manifest.h"

#include "platform/decoding_error.h"
#include "platform/json.h"
#include "platform/sha256.h"

namespace oakenmere::LibraryBundle {

using platform::Json;
using platform::JsonObject;

std::string LibraryBackupManifest::encodeJSON() const {
    Json entries = Json::array();
    for (const Entry& entry : files) entries.push_back({{"relativePath", entry.relativePath}, {"sha256", entry.sha256}});
    return platform::encodePrettyJson({{"createdAt", platform::dateJson(createdAt)},
                                       {"files", entries},
                                       {"formatVersion", formatVersion},
                                       {"includesReferencedOriginals", includesReferencedOriginals}});
}

LibraryBackupManifest LibraryBackupManifest::decodeJSON(platform::ByteView bytes) {
    const Json json = platform::parseJson(bytes);
    const JsonObject object(json, "backup");
    LibraryBackupManifest manifest;
    manifest.formatVersion = object.int64("formatVersion");
    manifest.createdAt = object.date("createdAt");
    manifest.includesReferencedOriginals = object.boolean("includesReferencedOriginals");
    const Json& files = object.array("files");
    manifest.files.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const JsonObject file(files[i], "files[" + std::to_string(i) + "]");
        Entry entry{file.string("relativePath"), file.string("sha256")};
        // A NUL would end the path where the kernel reads it, naming another file.
        if (entry.relativePath.find('\0') != std::string::npos) throw platform::DecodingError(file.path() + ".relativePath holds NUL");
        if (!platform::isChecksumText(entry.sha256)) throw platform::DecodingError(file.path() + ".sha256 is not a SHA-256 checksum");
        entry.sha256 = platform::lowercasedChecksum(entry.sha256);
        manifest.files.push_back(std::move(entry));
    }
    return manifest;
}

}  // namespace oakenmere::LibraryBundle
