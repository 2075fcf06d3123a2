#include "support/failure.h"

#include <cstring>
#include <system_error>

#include "LibraryBundle/copying/exclusive_publisher.h"
#include "LibraryBundle/core/bounded_file_reader.h"
#include "LibraryBundle/core/errors.h"
#include "platform/cancellation.h"
#include "platform/decoding_error.h"

namespace oakenmere::testing {

namespace {

std::string bundleCase(const LibraryBundle::LibraryBundleError& error) {
    using Case = LibraryBundle::LibraryBundleError::Case;
    switch (error.kind()) {
    case Case::unsupportedVersion:
        return "unsupportedVersion " + std::to_string(error.version()) + (error.madeBy() ? " by " + *error.madeBy() : "");
    case Case::invalidLocation: return "invalidLocation";
    case Case::destinationExists: return "destinationExists";
    case Case::invalidBundle: return "invalidBundle";
    case Case::libraryAlreadyOpen: return "libraryAlreadyOpen";
    case Case::libraryInUse: return "libraryInUse";
    }
    return "?";
}

std::string copyCase(const LibraryBundle::VerifiedCopyError& error) {
    using Case = LibraryBundle::VerifiedCopyError::Case;
    switch (error.kind()) {
    case Case::unsafePath: return "unsafePath " + error.path();
    case Case::keptCopy: return "keptCopy";
    case Case::sourceChanged: return "sourceChanged";
    case Case::hashMismatch: return "hashMismatch";
    case Case::destinationConflict: return "destinationConflict";
    case Case::sourceMismatch: return "sourceMismatch";
    }
    return "?";
}

std::string readCase(const LibraryBundle::BoundedFileReadError& error) {
    using Case = LibraryBundle::BoundedFileReadError::Case;
    switch (error.kind()) {
    case Case::invalidMaximumBytes: return "invalidMaximumBytes";
    case Case::notRegularFile: return "notRegularFile";
    case Case::tooLarge: return "tooLarge";
    }
    return "?";
}

std::string publishCase(const LibraryBundle::FilePublishError& error) {
    if (error.kind() == LibraryBundle::FilePublishError::Case::destinationExists) return "destinationExists " + error.fileName();
    return "refused " + std::string(LibraryBundle::ExclusivePublisher::rawValue(error.step())) + " " + errnoName(error.code()).substr(6) +
           " " + error.fileName();
}

}  // namespace

std::string errnoName(int err) {
    const char* name = ::strerrorname_np(err);
    return "errno " + (name ? std::string(name) : std::to_string(err));
}

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (...) {
        return failureOf(std::current_exception());
    }
    return "";
}

std::string failureOf(const std::exception_ptr& failure) {
    if (!failure) return "";
    try {
        std::rethrow_exception(failure);
    } catch (const LibraryBundle::LibraryBundleError& error) {
        return bundleCase(error);
    } catch (const LibraryBundle::VerifiedCopyError& error) {
        return copyCase(error);
    } catch (const LibraryBundle::FilePublishError& error) {
        return publishCase(error);
    } catch (const LibraryBundle::BoundedFileReadError& error) {
        return readCase(error);
    } catch (const platform::CancellationError&) {
        return "cancelled";
    } catch (const platform::DecodingError&) {
        return "decoding";
    } catch (const std::system_error& error) {
        if (error.code().category() == std::generic_category()) return errnoName(error.code().value());
        return error.what();
    } catch (const std::exception& error) {
        return error.what();
    }
}

}  // namespace oakenmere::testing
