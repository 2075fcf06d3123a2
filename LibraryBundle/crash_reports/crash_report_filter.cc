#include "LibraryBundle/crash_reports/crash_report_filter.h"

#include <algorithm>
#include <cstdint>
#include <regex>
#include <set>
#include <utility>

#include "platform/json.h"
#include "platform/text.h"

namespace oakenmere::LibraryBundle::CrashReportFilter {

namespace {

using platform::Json;
using Keys = std::set<std::string, std::less<>>;

// Far deeper than any diagnostic report nests; JSON readers commonly stop at this depth too.
constexpr std::size_t kDeepestNesting = 512;

// The keys kept at each level of a report; anything else may carry private data and goes.
// clang-format off
struct KeySets {
    Keys topLevel{"timeStampBegin", "timeStampEnd", "crashDiagnostics", "hangDiagnostics", "cpuExceptionDiagnostics",
                  "diskWriteExceptionDiagnostics", "appLaunchDiagnostics"};
    Keys diagnosticKinds{"crashDiagnostics", "hangDiagnostics", "cpuExceptionDiagnostics", "diskWriteExceptionDiagnostics",
                         "appLaunchDiagnostics"};
    Keys diagnostic{"version", "callStackTree", "diagnosticMetaData"};
    Keys callStackTree{"callStacks", "callStackPerThread"};
    Keys callStack{"threadAttributed", "callStackRootFrames"};
    Keys frame{"binaryUUID", "offsetIntoBinaryTextSegment", "sampleCount", "binaryName", "address", "subFrames"};
    Keys metadata{"appBuildVersion", "appVersion", "osVersion", "deviceType", "platformArchitecture", "isTestFlightApp",
                  "lowPowerModeEnabled", "bundleIdentifier", "exceptionType", "exceptionCode", "signal", "terminationReason",
                  "virtualMemoryRegionInfo", "exceptionReason", "hangDuration", "writesCaused", "totalCPUTime", "totalSampledTime",
                  "launchDuration"};
    Keys exceptionReason{"exceptionType", "exceptionName", "className", "formatString"};
};
// clang-format on

const KeySets& keys() {
    static const KeySets sets;
    return sets;
}

// Where a path starts in a line of text; nullptr when the expression cannot be compiled. Beside
// the Mac's roots, the places Linux keeps users' files and mounted drives.
const std::regex* pathExpression() {
    static const std::optional<std::regex> expression = []() -> std::optional<std::regex> {
        try {
            return std::regex(
                "(?:file://)?(?:~|/Users|/Volumes|/private/var/folders|/var/folders|/private/tmp|/tmp"
                "|/home|/media|/mnt|/run/media|/run/user|/var/tmp|/root)/");
        } catch (const std::regex_error&) {
            return std::nullopt;
        }
    }();
    return expression ? &*expression : nullptr;
}

// The mark that closes a path quoted by the text's last character, if that is an opening mark.
std::optional<std::string_view> closingMark(std::string_view prefix) {
    static constexpr std::pair<std::string_view, std::string_view> kMarks[]{
        {"\"", "\""}, {"'", "'"}, {"`", "`"}, {"\u201C", "\u201D"}, {"\u2018", "\u2019"}};
    for (const auto& [opening, closing] : kMarks) {
        if (!prefix.ends_with(opening)) continue;
        // The mark must be a character of its own, not the end of one that starts before it; the
        // few bytes before it decide that.
        const auto clusters =
            platform::graphemeClustersKeepingBytes(prefix.substr(prefix.size() - std::min(prefix.size(), std::size_t{16})));
        if (clusters.back() == opening) return closing;
        return std::nullopt;
    }
    return std::nullopt;
}

// A path runs to the end of the line unless it is quoted: then it ends at the last closing mark,
// so spaces inside a quoted path do not let its rest through.
std::string redactedLine(std::string_view line) {
    const std::regex* expression = pathExpression();
    if (!expression) return std::string(line);
    std::string out;
    for (;;) {
        std::cmatch match;
        if (!std::regex_search(line.data(), line.data() + line.size(), match, *expression)) return out.append(line);
        const auto start = static_cast<std::size_t>(match.position(0));
        const std::string_view prefix = line.substr(0, start);
        out.append(prefix).append("<path>");
        const auto closing = closingMark(prefix);
        if (!closing) return out;
        const std::size_t end = line.rfind(*closing);
        if (end == std::string_view::npos || end < start) return out;
        line.remove_prefix(end);
    }
}

std::string replacingAll(std::string text, std::string_view target, std::string_view replacement) {
    for (std::size_t at = text.find(target); at != std::string::npos; at = text.find(target, at + replacement.size()))
        text.replace(at, target.size(), replacement);
    return text;
}

// Whether arrays and objects nest at most `limit` deep. Filtering and writing a report recurse
// once per level, so deeper nesting, which no diagnostic report has, is refused before parsing.
bool nestsAtMost(platform::ByteView bytes, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false, escaped = false;
    for (const std::uint8_t byte : bytes) {
        if (inString) {
            if (escaped) escaped = false;
            else if (byte == '\\') escaped = true;
            else if (byte == '"') inString = false;
        } else if (byte == '"') {
            inString = true;
        } else if (byte == '[' || byte == '{') {
            if (++depth > limit) return false;
        } else if ((byte == ']' || byte == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

class Filter {
public:
    Filter(std::string_view home, std::string_view userName) : home_(home), userName_(userName) {}

    std::optional<Json> payload(const Json& payload) const {
        if (!payload.is_object()) return std::nullopt;
        Json out = Json::object();
        bool anyDiagnostic = false;
        for (auto it = payload.begin(); it != payload.end(); ++it) {
            if (!keys().topLevel.contains(it.key())) continue;
            if (!keys().diagnosticKinds.contains(it.key())) {
                out[it.key()] = scrubbed(it.value());
            } else if (it.value().is_array()) {
                Json diagnostics = objectsThrough(it.value(), &Filter::diagnostic);
                if (diagnostics.empty()) continue;
                out[it.key()] = std::move(diagnostics);
                anyDiagnostic = true;
            }
        }
        if (!anyDiagnostic) return std::nullopt;
        return out;
    }

private:
    Json objectsThrough(const Json& array, Json (Filter::*filter)(const Json&) const) const {
        Json out = Json::array();
        for (const Json& element : array)
            if (element.is_object()) out.push_back((this->*filter)(element));
        return out;
    }

    Json diagnostic(const Json& diagnostic) const {
        Json out = Json::object();
        for (auto it = diagnostic.begin(); it != diagnostic.end(); ++it) {
            const Json& value = it.value();
            if (it.key() == "callStackTree") {
                if (value.is_object()) out[it.key()] = callStackTree(value);
            } else if (it.key() == "diagnosticMetaData") {
                if (value.is_object()) out[it.key()] = metadata(value);
            } else if (keys().diagnostic.contains(it.key())) {
                out[it.key()] = scrubbed(value);
            }
        }
        return out;
    }

    Json callStackTree(const Json& tree) const {
        Json out = Json::object();
        for (auto it = tree.begin(); it != tree.end(); ++it) {
            if (it.key() == "callStacks") {
                if (it.value().is_array()) out[it.key()] = objectsThrough(it.value(), &Filter::callStack);
            } else if (keys().callStackTree.contains(it.key())) {
                out[it.key()] = scrubbed(it.value());
            }
        }
        return out;
    }

    Json callStack(const Json& stack) const {
        Json out = Json::object();
        for (auto it = stack.begin(); it != stack.end(); ++it) {
            if (it.key() == "callStackRootFrames") {
                if (it.value().is_array()) out[it.key()] = objectsThrough(it.value(), &Filter::frame);
            } else if (keys().callStack.contains(it.key())) {
                out[it.key()] = scrubbed(it.value());
            }
        }
        return out;
    }

    Json frame(const Json& frame) const {
        Json out = Json::object();
        for (auto it = frame.begin(); it != frame.end(); ++it) {
            if (it.key() == "subFrames") {
                if (it.value().is_array()) out[it.key()] = objectsThrough(it.value(), &Filter::frame);
            } else if (keys().frame.contains(it.key())) {
                out[it.key()] = scrubbed(it.value());
            }
        }
        return out;
    }

    Json metadata(const Json& metadata) const {
        Json out = Json::object();
        for (auto it = metadata.begin(); it != metadata.end(); ++it) {
            if (it.key() == "exceptionReason") {
                if (!it.value().is_object()) continue;
                Json reason = Json::object();
                for (auto member = it.value().begin(); member != it.value().end(); ++member)
                    if (keys().exceptionReason.contains(member.key())) reason[member.key()] = scrubbed(member.value());
                out[it.key()] = std::move(reason);
            } else if (keys().metadata.contains(it.key())) {
                out[it.key()] = scrubbed(it.value());
            }
        }
        return out;
    }

    Json scrubbed(const Json& value) const {
        if (value.is_string()) return redacted(value.get_ref<const std::string&>(), home_, userName_);
        if (value.is_array()) {
            Json out = Json::array();
            for (const Json& element : value) out.push_back(scrubbed(element));
            return out;
        }
        if (value.is_object()) {
            Json out = Json::object();
            for (auto it = value.begin(); it != value.end(); ++it) out[it.key()] = scrubbed(it.value());
            return out;
        }
        return value;
    }

    std::string_view home_, userName_;
};

}  // namespace

std::optional<std::string> filtered(platform::ByteView payload, std::string_view home, std::string_view userName) noexcept {
    try {
        if (!nestsAtMost(payload, kDeepestNesting)) return std::nullopt;
        const auto kept = Filter(home, userName).payload(platform::parseJson(payload));
        if (!kept) return std::nullopt;
        return platform::encodePrettyJson(*kept);
    } catch (...) {
        return std::nullopt;  // a report that cannot be read or written is not kept
    }
}

std::string redacted(std::string_view text, std::string_view home, std::string_view userName) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find('\n', start);
        out += redactedLine(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) break;
        out += '\n';
        start = end + 1;
    }
    if (!home.empty() && home != "/") out = replacingAll(std::move(out), home, "<path>");
    if (!platform::hasAtMostGraphemes(userName, 2)) out = replacingAll(std::move(out), userName, "<user>");
    return out;
}

}  // namespace oakenmere::LibraryBundle::CrashReportFilter
