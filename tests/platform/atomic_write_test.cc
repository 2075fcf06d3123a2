#include "platform/atomic_write.h"

#include <gtest/gtest.h>
#include <optional>

#include "platform/file_io.h"
#include "support/failure.h"
#include "support/fault_injection_file_system.h"
#include "support/temp_dir.h"

namespace oakenmere::platform {
namespace {

namespace fs = std::filesystem;
using namespace oakenmere::testing;
using Call = FaultInjectionFileSystem::Call;

// Replacing a record and making an empty one where there was none, with every call failing in
// turn, the writes coming up short, and the power cut after every call. Only the tidying calls
// may fail unreported, and only the folder flush after the rename fails with the new record in
// place; no temporary file is left behind.
TEST(AtomicWrite, EveryFailureOrPowerCutLeavesTheOldRecordOrTheNewOneWhole) {
    TempDir dir;
    const UniqueFd folder = openDirectory(dir.path());
    const struct {
        std::optional<std::string> old;
        std::string written;
    } cases[] = {{"old record", std::string(10'000, 'n')}, {std::nullopt, ""}};
    for (const auto& c : cases) {
        const auto prepare = [&] {
            fs::remove(dir / "record.json");
            if (c.old) dir.writeFile("record.json", *c.old);
        };
        const auto write = [&] { writeFileAtomically(folder, "record.json", asBytes(c.written), ".tmp-", ".part"); };
        const auto record = [&] { return fs::exists(dir / "record.json") ? std::optional(dir.readFile("record.json")) : std::nullopt; };
        sweepFaults(prepare, write, [&](const InjectedFault& fault, std::exception_ptr thrown) {
            SCOPED_TRACE(fault.describe());
            const bool reported = fault.error != EINTR && fault.call != Call::close && fault.call != Call::unlink;
            EXPECT_EQ(failureOf(thrown), reported ? errnoName(fault.error) : "");
            const bool folderFlush = fault.call == Call::flush && fault.nth == 2;
            EXPECT_EQ(record(), reported && !folderFlush ? c.old : c.written);
            if (record() == c.written) {
                EXPECT_EQ(fs::status(dir / "record.json").permissions(), fs::perms(0600));
            }
            EXPECT_EQ(namesIn(dir.path()), record() ? std::vector<std::string>{"record.json"} : std::vector<std::string>{});
        });

        for (std::size_t bytes : {1, 4095}) {
            prepare();
            FaultInjectionFileSystem shortWrites;
            for (int nth = 1; nth <= 3; ++nth) shortWrites.shorten(Call::write, nth, bytes);
            write();
            EXPECT_EQ(record(), c.written) << bytes;
        }

        // Once the new record survives a power cut, every later cut keeps it; so does a finished write.
        bool survived = false;
        sweepPowerCuts(prepare, write, [&](int calls) {
            const auto now = record();
            EXPECT_TRUE(now == c.old || now == c.written) << calls;
            EXPECT_FALSE(survived && now != c.written) << calls;
            survived = now == c.written;
        });
        EXPECT_TRUE(survived);
    }
}

}  // namespace
}  // namespace oakenmere::platform
