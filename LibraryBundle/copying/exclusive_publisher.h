#pragma once
// Gives a finished file its final name in one atomic step, never replacing anything that has
// that name, on whatever file system the destination is: an exclusive rename where the volume
// has one, else a hard link, else claiming the name with an empty placeholder created
// exclusively and renaming over that placeholder only while it is provably ours. On every
// failure the source keeps its temporary name for the caller to deal with. A system crash
// (power loss) before synchronizeFolder may undo a publication: the file is then found under its
// temporary name again, on the placeholder route possibly beside an empty placeholder.
//
// Test hooks: `refusals` makes a step skip its system call and act as if it had returned the
// given code (0 for success); `willAttempt` is told each step just before it is tried;
// `volumeFactsForTesting`, when set, answers the volume questions in place of the platform (throwing
// when they cannot be answered). Stateless beyond those fields; usable from any thread.
#include <array>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/publish_calls.h"
#include "platform/unique_fd.h"
#include "platform/volume.h"

namespace oakenmere::LibraryBundle {

// Says which folder synchronizeFolder flushes: synchronizeFolder(containing, path) flushes the
// folder that holds path.
inline constexpr struct Containing {
} containing{};

class ExclusivePublisher {
public:
    enum class Step { exclusiveRename, hardLink, claimName, replacePlaceholder, synchronizeFolder };
    static constexpr std::array<Step, 5> allSteps{Step::exclusiveRename, Step::hardLink, Step::claimName, Step::replacePlaceholder,
                                                  Step::synchronizeFolder};
    static std::string_view rawValue(Step step);  // "exclusive rename", "hard link", ...
    static std::optional<Step> step(std::string_view rawValue);
    // Whether `code` says the volume cannot make the call at all (EINVAL, ENOTSUP, ENOSYS,
    // EOPNOTSUPP), as opposed to refusing this one.
    static bool isUnsupported(int code) noexcept;

    std::map<Step, int> refusals;
    std::function<void(Step)> willAttempt;
    std::function<platform::VolumeFacts(const std::filesystem::path&)> volumeFactsForTesting;

    ExclusivePublisher() = default;
    ExclusivePublisher(std::map<Step, int> simulatingRefusals, std::function<void(Step)> willAttempt)
        : refusals(std::move(simulatingRefusals)), willAttempt(std::move(willAttempt)) {}

    // Publishes the file at `from` as `as` (paths relative to the current folder when
    // relative). Returns the step that published. Fails with FilePublishError.
    Step publish(const std::filesystem::path& from, const std::filesystem::path& as) const;
    // The same with both names inside one open folder, whose path is `at` (for volume facts).
    Step publish(const std::string& name, const std::string& as, const platform::UniqueFd& inFolder, const std::filesystem::path& at) const;
    // Exclusive rename only, no fallback.
    void publishExclusively(const std::string& name, const std::string& as, const platform::UniqueFd& inFolder,
                            const std::filesystem::path& at) const;
    // A new, empty file (mode 0644) that must not exist yet; the caller owns the descriptor. A
    // simulated success returns no descriptor and creates nothing.
    platform::UniqueFd createExclusively(const std::string& name, const platform::UniqueFd& inFolder,
                                         const std::filesystem::path& at) const;
    // Makes the folder holding `path` durable ("a/b/" is held by "a"). Folders whose volume
    // cannot be flushed pass.
    void synchronizeFolder(Containing, const std::filesystem::path& path) const;
    // Makes `folder` itself durable.
    void synchronizeFolder(const std::filesystem::path& folder) const;
    // Makes the open folder that holds `name` durable; `at` is its path (for volume facts).
    void synchronizeFolder(const std::string& name, const platform::UniqueFd& inFolder, const std::filesystem::path& at) const;

private:
    struct Folders;
    // Volume facts by device: an import publishes thousands of files into one volume, and
    // reading the mount table for each would cost more than the publication.
    struct FactsCache;
    static std::shared_ptr<FactsCache> newFactsCache();
    std::shared_ptr<FactsCache> factsCache_ = newFactsCache();
    Step publishBetween(const Folders& folders, const std::string& from, const std::string& to) const;
    int attempt(Step step, const std::function<int()>& call) const;
    std::optional<platform::VolumeFacts> factsOf(const std::filesystem::path& folder) const noexcept;
    void synchronize(const std::filesystem::path& folder, const std::string& fileName, const std::function<int()>& call) const;
};

class FilePublishError : public std::exception {
public:
    enum class Case { destinationExists, refused };
    using Step = ExclusivePublisher::Step;

    static FilePublishError destinationExists(std::string fileName);
    static FilePublishError refused(std::string fileName, std::optional<std::string> volume, Step step, int code);

    Case kind() const noexcept { return case_; }
    const std::string& fileName() const noexcept { return fileName_; }
    const std::optional<std::string>& volume() const noexcept { return volume_; }
    Step step() const noexcept { return step_; }
    int code() const noexcept { return code_; }
    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const FilePublishError& a, const FilePublishError& b) noexcept {
        return a.case_ == b.case_ && a.fileName_ == b.fileName_ && a.volume_ == b.volume_ && a.step_ == b.step_ && a.code_ == b.code_;
    }

private:
    FilePublishError(Case c, std::string fileName, std::optional<std::string> volume, Step step, int code);
    Case case_;
    std::string fileName_;
    std::optional<std::string> volume_;
    Step step_;
    int code_;
    std::string message_;
};

}  // namespace oakenmere::LibraryBundle
