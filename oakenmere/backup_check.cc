#include "oakenmere/backup_check.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <thread>

#include "LibraryBundle/core/errors.h"
#include "LibraryBundle/core/package_path.h"
#include "LibraryBundle/maintenance/library_recovery.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/folder_walk.h"
#include "platform/posix_error.h"

namespace oakenmere::cli {

namespace {

using namespace LibraryBundle;
namespace fs = std::filesystem;

enum class Verdict { matches, missing, changed };

Verdict verdictOn(const platform::UniqueFd& root, const fs::path& backup, const LibraryBackupManifest::Entry& entry, std::int64_t& bytes,
                  const std::stop_token& stop) {
    try {
        const fs::path path = PackagePath::resolve(entry.relativePath, backup);
        const auto status = platform::lstatPath(path);
        if (!status) return Verdict::missing;
        bytes = status->size;
        return LibraryRecovery::hashInside(root, entry.relativePath, stop) == entry.sha256 ? Verdict::matches : Verdict::changed;
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::system_error& error) {
        return platform::isPosixError(error, ENOENT) ? Verdict::missing : Verdict::changed;
    } catch (const VerifiedCopyError&) {
        return Verdict::changed;  // a link, a folder or a FIFO where a file was, or one that changes as it is read
    }
}

// Everything in the backup that is not a folder, the manifest or a listed file.
std::vector<std::string> unlisted(const fs::path& backup, const LibraryBackupManifest& manifest) {
    std::set<std::string> listed{LibraryBackupManifest::fileName};
    for (const auto& entry : manifest.files) listed.insert(entry.relativePath);
    std::vector<std::string> found;
    const std::size_t prefix = backup.string().size() + 1;
    platform::walkFolder(PackagePath::openFolder(backup), backup, {.entry = [&](const fs::path& path, const platform::FileStatus& status) {
                             const std::string relative = path.string().substr(prefix);
                             if (!status.isDirectory() && !listed.contains(relative)) found.push_back(relative);
                         }});
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace

BackupProblems checkBackup(const fs::path& given, const LibraryBackupManifest& manifest, int jobs,
                           const std::function<void(std::int64_t, std::int64_t)>& progress, const std::stop_token& stop) {
    const fs::path backup = platform::standardizedPath(given);
    const platform::UniqueFd root = PackagePath::openFolder(backup);
    // A path that would leave the backup is no damage to name: the manifest itself is hostile.
    for (const auto& entry : manifest.files)
        if (!PackagePath::joined(entry.relativePath, backup)) throw VerifiedCopyError::unsafePath(entry.relativePath);
    std::int64_t total = 0;
    for (const auto& entry : manifest.files)
        if (auto path = PackagePath::joined(entry.relativePath, backup)) try {
                if (auto status = platform::lstatPath(*path)) total += status->size;
            } catch (const std::system_error&) {
                // Counted as missing or changed below.
            }

    std::vector<Verdict> verdicts(manifest.files.size(), Verdict::matches);
    std::vector<std::int64_t> sizes(manifest.files.size(), 0);
    std::atomic<std::size_t> next{0};
    std::mutex reporting;
    std::int64_t done = 0;
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    const auto verify = [&] {
        try {
            for (std::size_t i = next++; i < manifest.files.size() && !failed; i = next++) {
                // The file this verifier is likely to take next comes off the disk while this one is hashed.
                if (const std::size_t ahead = i + static_cast<std::size_t>(std::max(jobs, 1)); ahead < manifest.files.size())
                    LibraryRecovery::prefetchInside(root, manifest.files[ahead].relativePath);
                verdicts[i] = verdictOn(root, backup, manifest.files[i], sizes[i], stop);
                std::lock_guard lock(reporting);
                done += sizes[i];
                if (progress) progress(std::min(done, total), total);
            }
        } catch (...) {
            std::lock_guard lock(reporting);
            if (!failure) failure = std::current_exception();
            failed = true;
        }
    };
    {
        std::vector<std::jthread> verifiers;
        for (int i = 1; i < std::max(jobs, 1); ++i) verifiers.emplace_back(verify);
        verify();
    }
    if (failure) std::rethrow_exception(failure);

    BackupProblems problems;
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        if (verdicts[i] == Verdict::missing) problems.missing.push_back(manifest.files[i].relativePath);
        if (verdicts[i] == Verdict::changed) problems.changed.push_back(manifest.files[i].relativePath);
        if (verdicts[i] != Verdict::missing) problems.bytes += sizes[i];
    }
    problems.unexpected = unlisted(backup, manifest);
    return problems;
}

}  // namespace oakenmere::cli
