// `oakenmere hash FILE...` and `oakenmere copy SOURCE DEST`: the verified copy from a shell.
#include <cstdio>
#include <string>
#include <vector>

#include "LibraryBundle/copying/VerifiedFileCopy.h"
#include "oakenmere/commands.h"
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
                try {
                    std::printf("%s  %s\n", copier.hash(file, interrupt.token()).c_str(), file.c_str());
                    std::fflush(stdout);
                } catch (const platform::CancellationError&) {
                    throw;
                } catch (const std::exception& error) {
                    std::fprintf(stderr, "oakenmere: %s: %s\n", file.c_str(), error.what());
                    failed = true;
                }
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
        command->add_option("DEST", *destination, "The new file (must not exist, unless it already holds the same content)")->required();
        command->add_option("--sha256", *expected, "The checksum the copy must have (either case)");
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
            std::printf("%s  %s\n", checksum.c_str(), destination->c_str());
        });
    }
}

}  // namespace oakenmere::cli
