// `oakenmere hash FILE...` and `oakenmere copy SOURCE DEST`: the verified copy from a shell.
#include <cstdio>
#include <string>
#include <vector>

#include "LibraryBundle/copying/VerifiedFileCopy.h"
#include "oakenmere/commands.h"
#include "oakenmere/output.h"
#include "oakenmere/progress_bar.h"
#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/interrupt.h"
#include "platform/sha256.h"

namespace oakenmere::cli {

namespace {

std::int64_t sizeOf(const std::string& path) {
    auto status = platform::lstatPath(path);
    return status ? status->size : 0;
}

}  // namespace

void addCopyCommands(CLI::App& app) {
    {
        auto* command = app.add_subcommand("hash", "Print SHA-256 checksums, as sha256sum does.");
        auto files = std::make_shared<std::vector<std::string>>();
        command->add_option("FILE", *files, "Regular files")->required();
        command->callback([files] {
            platform::InterruptWatcher interrupt;
            LibraryBundle::VerifiedFileCopy copier;
            bool failed = false;
            for (const auto& file : *files) {
                std::string checksum;
                try {
                    checksum = copier.hash(file, interrupt.token());
                } catch (const platform::CancellationError&) {
                    throw;
                } catch (const std::exception& error) {
                    std::fprintf(stderr, "oakenmere: %s: %s\n", file.c_str(), error.what());
                    failed = true;
                    continue;
                }
                std::fputs(checksumLine(checksum, file).c_str(), stdout);
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
        command->add_option("SOURCE", *source, "The file to copy")->required();
        command->add_option("DEST", *destination,
                            "The new file. Without --sha256 it must not exist: an existing one, even identical, is "
                            "refused and left alone")
            ->required();
        command->add_option("--sha256", *expected,
                            "The checksum the copy must have (either case). A DEST already holding exactly that "
                            "content is accepted and left as it is");
        command->callback([source, destination, expected] {
            platform::InterruptWatcher interrupt;
            LibraryBundle::VerifiedFileCopy copier;
            ProgressBar bar(*source, sizeOf(*source));
            copier.progress = [&bar](std::int64_t done) { bar.update(done); };
            std::string checksum;
            if (expected->empty()) {
                checksum = copier.copyMeasuring(*source, *destination, std::nullopt, interrupt.token());
            } else {
                copier.copy(*source, *destination, *expected, interrupt.token());
                checksum = platform::lowercasedChecksum(*expected);
            }
            bar.finish();
            std::fputs(checksumLine(checksum, *destination).c_str(), stdout);
        });
    }
}

}  // namespace oakenmere::cli
