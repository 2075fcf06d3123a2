// `oakenmere hash FILE...` and `oakenmere copy SOURCE DEST`: the verified copy from a shell.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "LibraryBundle/copying/verified_file_copy.h"
#include "LibraryBundle/core/errors.h"
#include "oakenmere/arguments.h"
#include "oakenmere/commands.h"
#include "oakenmere/output.h"
#include "oakenmere/progress_bar.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/quoted.h"
#include "platform/sha256.h"

namespace oakenmere::cli {

namespace {

std::int64_t sizeOf(const std::string& path) {
    auto status = platform::lstatPath(path);
    return status ? status->size : 0;
}

// The kept copy is only worth its sentence with where it is.
[[noreturn]] void failSayingWhereKept(const LibraryBundle::VerifiedCopyError& error) {
    if (error.kind() != LibraryBundle::VerifiedCopyError::Case::keptCopy) throw error;
    throw std::runtime_error(std::string(error.what()) + " It is " + platform::inQuotes(error.path()) + ".");
}

}  // namespace

void addCopyCommands(CLI::App& app, const std::stop_token& stop) {
    {
        auto* command = app.add_subcommand("hash", "Print SHA-256 checksums, as sha256sum does.");
        auto files = std::make_shared<std::vector<std::string>>();
        command->add_option("FILE", *files, "Regular files")->required()->check(nonEmptyPath());
        command->callback([files, &stop] {
            LibraryBundle::VerifiedFileCopy copier;
            bool failed = false;
            for (const auto& file : *files) {
                std::string checksum;
                try {
                    checksum = copier.hash(file, stop);
                } catch (const platform::CancellationError&) {
                    throw;
                } catch (const std::exception& error) {
                    printError(file + ": " + error.what());
                    failed = true;
                    continue;
                }
                printOut(checksumLine(checksum, file));
                flushOutput();  // each line as soon as it is known; a lost line ends the run
            }
            if (failed) throw CLI::RuntimeError(1);
        });
    }
    {
        auto* command = app.add_subcommand("copy", "Copy one file with SHA-256 verification, never replacing anything.");
        auto source = std::make_shared<std::string>();
        auto destination = std::make_shared<std::string>();
        auto expected = std::make_shared<std::string>();
        command->add_option("SOURCE", *source, "The file to copy")->required()->check(nonEmptyPath());
        command
            ->add_option("DEST", *destination,
                         "The new file. Without --sha256 it must not exist: an existing one, even identical, is "
                         "refused and left alone")
            ->required()
            ->check(nonEmptyPath());
        command
            ->add_option("--sha256", *expected,
                         "The checksum the copy must have (either case). A DEST already holding exactly that "
                         "content is accepted and left as it is")
            ->check(checksum());
        command->callback([source, destination, expected, &stop] {
            LibraryBundle::VerifiedFileCopy copier;
            ProgressBar bar(*source, sizeOf(*source));
            copier.progress = [&bar](std::int64_t done) { bar.update(done); };
            std::string checksum;
            try {
                if (expected->empty()) {
                    checksum = copier.copyMeasuring(*source, *destination, std::nullopt, stop);
                } else {
                    copier.copy(*source, *destination, *expected, stop);
                    checksum = platform::lowercasedChecksum(*expected);
                }
            } catch (const LibraryBundle::VerifiedCopyError& error) {
                failSayingWhereKept(error);
            }
            bar.finish();
            printOut(checksumLine(checksum, *destination));
        });
    }
}

}  // namespace oakenmere::cli
