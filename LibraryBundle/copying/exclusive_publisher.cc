#include "LibraryBundle/copying/exclusive_publisher.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>

#include "platform/posix_error.h"
#include "platform/volume.h"

namespace oakenmere::LibraryBundle {

using Step = ExclusivePublisher::Step;

namespace {

// "a/b/" is held by "a", not by "b".
std::filesystem::path folderOf(const std::filesystem::path& path) {
    std::filesystem::path folder = platform::entryPath(path).parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

std::string lastComponent(const std::filesystem::path& path) { return platform::entryPath(path).filename().string(); }

}  // namespace

struct ExclusivePublisher::Folders {
    platform::FolderRef source;
    platform::FolderRef destination;
    std::filesystem::path destinationFolder;  // for volume facts
    std::string fileName;                     // for messages
};

std::string_view ExclusivePublisher::rawValue(Step step) {
    switch (step) {
    case Step::exclusiveRename: return "exclusive rename";
    case Step::hardLink: return "hard link";
    case Step::claimName: return "claim name";
    case Step::replacePlaceholder: return "replace placeholder";
    case Step::synchronizeFolder: return "sync folder";
    }
    return "";
}

bool ExclusivePublisher::isUnsupported(int code) noexcept {
    return platform::isUnsupportedByVolume(platform::VolumeCall::exclusiveRename, code);
}

std::optional<Step> ExclusivePublisher::step(std::string_view rawValue) {
    for (Step s : allSteps)
        if (ExclusivePublisher::rawValue(s) == rawValue) return s;
    return std::nullopt;
}

struct ExclusivePublisher::FactsCache {
    std::mutex mutex;
    std::map<std::uint64_t, platform::VolumeFacts> byDevice;
};

std::shared_ptr<ExclusivePublisher::FactsCache> ExclusivePublisher::newFactsCache() { return std::make_shared<FactsCache>(); }

std::optional<platform::VolumeFacts> ExclusivePublisher::factsOf(const std::filesystem::path& folder) const noexcept {
    try {
        const std::filesystem::path path = folder.empty() ? "." : folder;
        const auto status = platform::lstatPath(path);
        std::lock_guard lock(factsCache_->mutex);
        if (status)
            if (auto known = factsCache_->byDevice.find(status->device); known != factsCache_->byDevice.end()) return known->second;
        platform::VolumeFacts facts = volumeFactsForTesting ? volumeFactsForTesting(path) : platform::volumeFacts(path);
        if (status) factsCache_->byDevice.emplace(status->device, facts);
        return facts;
    } catch (...) {
        return std::nullopt;  // unknown: exclusive rename is tried, the volume goes unnamed
    }
}

int ExclusivePublisher::attempt(Step step, const std::function<int()>& call) const {
    if (willAttempt) willAttempt(step);
    if (auto refusal = refusals.find(step); refusal != refusals.end()) return refusal->second;
    return call();
}

Step ExclusivePublisher::publishBetween(const Folders& f, const std::string& from, const std::string& to) const {
    auto facts = factsOf(f.destinationFolder);
    std::optional<std::string> volume = facts ? facts->name : std::nullopt;
    auto refused = [&](Step step, int code) { return FilePublishError::refused(f.fileName, volume, step, code); };

    // An unknown answer counts as supported: the rename itself says EINVAL if it is not.
    if (!facts || facts->supportsExclusiveRename != false) {
        int code = attempt(Step::exclusiveRename, [&] { return platform::renameNoReplace(f.source, from, f.destination, to); });
        if (code == 0) return Step::exclusiveRename;
        if (code == EEXIST) throw FilePublishError::destinationExists(f.fileName);
        if (!isUnsupported(code)) throw refused(Step::exclusiveRename, code);
    }

    int code = attempt(Step::hardLink, [&] { return platform::hardLink(f.source, from, f.destination, to); });
    if (code == 0) {
        platform::unlinkName(f.source, from);  // the file lives under its final name only
        return Step::hardLink;
    }
    if (code == EEXIST) throw FilePublishError::destinationExists(f.fileName);
    if (!platform::isUnsupportedByVolume(platform::VolumeCall::hardLink, code)) throw refused(Step::hardLink, code);

    // Claim the name with an empty file of our own, remembered by device and inode.
    platform::FileStatus placeholder;
    bool claimed = false;
    code = attempt(Step::claimName, [&] {
        platform::UniqueFd fd;
        if (int c = platform::createNew(f.destination, to, 0600, fd); c != 0) return c;
        claimed = true;
        return platform::statOpen(fd, placeholder);
    });
    if (code == EEXIST) throw FilePublishError::destinationExists(f.fileName);
    if (code != 0) throw refused(Step::claimName, code);

    auto stillOurs = [&] {
        platform::FileStatus now;
        return claimed && platform::statNoFollow(f.destination, to, now) == 0 && now.isRegular() && now.size == 0 &&
               now.device == placeholder.device && now.inode == placeholder.inode;
    };
    code = attempt(Step::replacePlaceholder, [&] {
        if (!stillOurs()) return EEXIST;  // someone else put something there
        return platform::renameReplacing(f.source, from, f.destination, to);
    });
    if (code == 0) return Step::replacePlaceholder;
    if (code == EEXIST) throw FilePublishError::destinationExists(f.fileName);
    if (stillOurs()) platform::unlinkName(f.destination, to);
    throw refused(Step::replacePlaceholder, code);
}

Step ExclusivePublisher::publish(const std::filesystem::path& from, const std::filesystem::path& as) const {
    auto cwd = platform::FolderRef::currentDirectory();
    return publishBetween(Folders{cwd, cwd, folderOf(as), lastComponent(as)}, from.string(), as.string());
}

Step ExclusivePublisher::publish(const std::string& name, const std::string& as, const platform::UniqueFd& inFolder,
                                 const std::filesystem::path& at) const {
    auto folder = platform::FolderRef::of(inFolder);
    return publishBetween(Folders{folder, folder, at, as}, name, as);
}

void ExclusivePublisher::publishExclusively(const std::string& name, const std::string& as, const platform::UniqueFd& inFolder,
                                            const std::filesystem::path& at) const {
    auto facts = factsOf(at);
    std::optional<std::string> volume = facts ? facts->name : std::nullopt;
    if (facts && facts->supportsExclusiveRename == false) throw FilePublishError::refused(as, volume, Step::exclusiveRename, ENOTSUP);
    auto folder = platform::FolderRef::of(inFolder);
    int code = attempt(Step::exclusiveRename, [&] { return platform::renameNoReplace(folder, name, folder, as); });
    if (code == 0) return;
    if (code == EEXIST) throw FilePublishError::destinationExists(as);
    throw FilePublishError::refused(as, volume, Step::exclusiveRename, code);
}

platform::UniqueFd ExclusivePublisher::createExclusively(const std::string& name, const platform::UniqueFd& inFolder,
                                                         const std::filesystem::path& at) const {
    platform::UniqueFd fd;
    int code = attempt(Step::claimName, [&] { return platform::createNew(platform::FolderRef::of(inFolder), name, 0644, fd); });
    if (code == 0) return fd;
    if (code == EEXIST) throw FilePublishError::destinationExists(name);
    auto facts = factsOf(at);
    throw FilePublishError::refused(name, facts ? facts->name : std::nullopt, Step::claimName, code);
}

void ExclusivePublisher::synchronize(const std::filesystem::path& folder, const std::string& fileName,
                                     const std::function<int()>& call) const {
    int code = attempt(Step::synchronizeFolder, call);
    // Volumes that cannot flush folders say so; that is not a failure to publish.
    if (code == 0 || isUnsupported(code)) return;
    auto facts = factsOf(folder);
    throw FilePublishError::refused(fileName, facts ? facts->name : std::nullopt, Step::synchronizeFolder, code);
}

void ExclusivePublisher::synchronizeFolder(Containing, const std::filesystem::path& path) const {
    const std::filesystem::path folder = folderOf(path);
    synchronize(folder, lastComponent(path), [&] { return platform::syncFolder(folder); });
}

void ExclusivePublisher::synchronizeFolder(const std::filesystem::path& folder) const {
    synchronize(folder, lastComponent(folder), [&] { return platform::syncFolder(folder); });
}

void ExclusivePublisher::synchronizeFolder(const std::string& name, const platform::UniqueFd& inFolder,
                                           const std::filesystem::path& at) const {
    synchronize(at, name, [&] { return platform::syncFolder(inFolder); });
}

FilePublishError::FilePublishError(Case c, std::string fileName, std::optional<std::string> volume, Step step, int code)
    : case_(c), fileName_(std::move(fileName)), volume_(std::move(volume)), step_(step), code_(code) {
    std::string name = "\u201C" + fileName_ + "\u201D";
    std::string volumeText = volume_ ? "\u201C" + *volume_ + "\u201D" : "its drive";
    std::string reason = platform::errorText(code_);
    if (case_ == Case::destinationExists) message_ = name + " already exists at the destination. It was not replaced.";
    else if (step_ == Step::synchronizeFolder)
        message_ = name + " was published on " + volumeText + ", but the drive couldn\u2019t confirm it was saved (" + reason + ").";
    else message_ = name + " couldn\u2019t be published on " + volumeText + " (" + reason + ").";
}

FilePublishError FilePublishError::destinationExists(std::string fileName) {
    return FilePublishError(Case::destinationExists, std::move(fileName), std::nullopt, Step::exclusiveRename, 0);
}

FilePublishError FilePublishError::refused(std::string fileName, std::optional<std::string> volume, Step step, int code) {
    return FilePublishError(Case::refused, std::move(fileName), std::move(volume), step, code);
}

}  // namespace oakenmere::LibraryBundle
