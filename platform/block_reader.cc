#include "platform/block_reader.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
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
    // A file smaller than a block is read on this thread: a thread and several blocks would cost
    // more than the read. It is still read to its end, however much it has grown.
    if (const auto status = statDescriptor(file);
        status && status->isRegular() && status->size >= 0 && static_cast<std::uint64_t>(status->size) < blockSize) {
        const std::size_t size = std::max<std::size_t>(static_cast<std::size_t>(status->size) + 1, 4096);
        const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        while (const std::size_t n = readSome(file, {buffer.get(), size})) {
            throwIfCancelled(stop);
            consume(ByteView(buffer.get(), n));
        }
        return;
    }
    // Left unzeroed: every byte handed over was read first.
    std::vector<std::unique_ptr<std::uint8_t[]>> buffers;
    for (std::size_t i = 0; i < depth; ++i) buffers.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(blockSize));
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
                std::size_t size = readSome(file, {buffers[index].get(), blockSize});
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
            consume(ByteView(buffers[block.buffer].get(), block.size));
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
