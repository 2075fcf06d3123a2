#include "platform/block_reader.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/cancellation.h"
#include "platform/file_io.h"
#include "platform/sha256.h"

namespace oakenmere::platform {

namespace {

struct Filled {
    std::size_t buffer;
    std::size_t size;  // 0: the end of the file
};

// Buffers travel from `free` to the reader, then through `filled` to the consumer and back.
struct Pipeline {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::size_t> free;
    std::deque<Filled> filled;
    std::exception_ptr readError;
    bool quit = false;
};

}  // namespace

std::string sha256OfFile(const UniqueFd& file, const std::stop_token& stop) {
    Sha256 hasher;
    readInBlocks(
        file, [&](ByteView block) { hasher.update(block); }, stop);
    return hasher.finishHex();
}

void readInBlocks(const UniqueFd& file, const std::function<void(ByteView)>& consume, const std::stop_token& stop, std::size_t blockSize,
                  std::size_t depth) {
    std::vector<Bytes> buffers(depth, Bytes(blockSize));
    Pipeline p;
    for (std::size_t i = 0; i < depth; ++i) p.free.push_back(i);

    std::thread reader([&] {
        try {
            while (true) {
                std::size_t index;
                {
                    std::unique_lock lock(p.mutex);
                    p.changed.wait(lock, [&] { return p.quit || !p.free.empty(); });
                    if (p.quit) return;
                    index = p.free.front();
                    p.free.pop_front();
                }
                std::size_t size = readSome(file, buffers[index]);
                {
                    std::lock_guard lock(p.mutex);
                    p.filled.push_back({index, size});
                }
                p.changed.notify_all();
                if (size == 0) return;
            }
        } catch (...) {
            std::lock_guard lock(p.mutex);
            p.readError = std::current_exception();
            p.changed.notify_all();
        }
    });

    auto finish = [&] {
        {
            std::lock_guard lock(p.mutex);
            p.quit = true;
        }
        p.changed.notify_all();
        reader.join();
    };
    try {
        while (true) {
            Filled block;
            {
                std::unique_lock lock(p.mutex);
                p.changed.wait(lock, [&] { return p.readError || !p.filled.empty(); });
                // Blocks read before an error are still handed over in order.
                if (p.filled.empty()) std::rethrow_exception(p.readError);
                block = p.filled.front();
                p.filled.pop_front();
            }
            if (block.size == 0) break;
            throwIfCancelled(stop);
            consume(ByteView(buffers[block.buffer].data(), block.size));
            {
                std::lock_guard lock(p.mutex);
                p.free.push_back(block.buffer);
            }
            p.changed.notify_all();
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

}  // namespace oakenmere::platform
