#include "platform/binary_plist_shape.h"

#include <string>
#include <vector>

#include "platform/decoding_error.h"

namespace oakenmere::platform {

namespace {

constexpr std::size_t kHeaderSize = 8;  // "bplist00"
constexpr std::size_t kTrailerSize = 32;
constexpr std::uint64_t kNodeCost = 64;  // about what a reader spends on one node

[[noreturn]] void malformed(const std::string& what) { throw DecodingError("the property list " + what); }

std::uint64_t bigEndian(ByteView bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value = (value << 8) | bytes[at + i];
    return value;
}

class ShapeCheck {
public:
    ShapeCheck(ByteView bytes, const PropertyListShapeLimits& limits) : bytes_(bytes), limits_(limits) {
        if (bytes.size() < kHeaderSize + kTrailerSize) malformed("is too short");
        const std::size_t trailer = bytes.size() - kTrailerSize;
        offsetSize_ = bytes[trailer + 6];
        referenceSize_ = bytes[trailer + 7];
        const std::uint64_t count = bigEndian(bytes, trailer + 8, 8);
        top_ = bigEndian(bytes, trailer + 16, 8);
        const std::uint64_t table = bigEndian(bytes, trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8) malformed("has a damaged trailer");
        if (count == 0 || count > limits.largestObjectCount) malformed("has too many objects");
        if (top_ >= count) malformed("has no top object");
        if (table < kHeaderSize || table > trailer || (trailer - table) / offsetSize_ < count) malformed("has a damaged offset table");
        objectsEnd_ = table;
        offsets_.reserve(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint64_t offset = bigEndian(bytes, table + i * offsetSize_, offsetSize_);
            if (offset < kHeaderSize || offset >= objectsEnd_) malformed("refers outside its objects");
            offsets_.push_back(offset);
        }
        state_.assign(count, State::unseen);
    }

    void run() { visit(top_, 0); }

private:
    enum class State : std::uint8_t { unseen, open, done };

    // The length of a data, string or container object: the marker's low nibble, or an
    // integer object after it when the nibble is 0xF. Moves `at` past the length.
    std::uint64_t lengthAt(std::uint64_t& at, std::uint8_t low) const {
        if (low != 0x0F) return low;
        need(at, 1);
        const std::uint8_t marker = bytes_[at++];
        if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) malformed("has a damaged length");
        const std::size_t width = std::size_t{1} << (marker & 0x0F);
        need(at, width);
        const std::uint64_t length = bigEndian(bytes_, at, width);
        at += width;
        return length;
    }

    void need(std::uint64_t at, std::uint64_t length) const {
        if (at > objectsEnd_ || length > objectsEnd_ - at) malformed("has an object that runs past its end");
    }

    // Readers hand strings on as C strings, and libplist aborts on one with a NUL inside it.
    void checkString(std::uint64_t at, std::uint64_t units, std::size_t width) {
        need(at, units);  // first on its own, so that the product below cannot wrap
        need(at, units * width);
        for (std::uint64_t i = 0; i < units; ++i)
            if (bigEndian(bytes_, at + i * width, width) == 0) malformed("has a string with a NUL in it");
        expand(units * width);
    }

    void expand(std::uint64_t payload) {
        expanded_ += payload;
        if (expanded_ > limits_.largestExpandedSize) malformed("expands too far");
    }

    void visit(std::uint64_t object, std::size_t depth) {
        if (depth > limits_.deepestNesting) malformed("is nested too deeply");
        expand(kNodeCost);
        std::uint64_t at = offsets_[object];
        const std::uint8_t marker = bytes_[at++];
        const std::uint8_t type = marker >> 4, low = marker & 0x0F;
        switch (type) {
        case 0x0: return;  // null, booleans, fill
        case 0x1:
        case 0x2: return need(at, std::uint64_t{1} << (low & 0x7));  // integer, real
        case 0x3: return need(at, 8);                                // date
        case 0x4: {
            std::uint64_t n = lengthAt(at, low);
            need(at, n);
            return expand(n);
        }  // data
        case 0x5:
        case 0x6: {                                         // ASCII, UTF-16
            const std::uint64_t units = lengthAt(at, low);  // first: it moves `at` past the length
            return checkString(at, units, type == 0x5 ? 1 : 2);
        }
        case 0x8: return need(at, low + 1u);  // UID
        case 0xA:
        case 0xC:
        case 0xD: break;  // array, set, dictionary
        default: malformed("has an object of unknown type");
        }
        // A container is expanded once per reference: a second reference, or one from inside
        // itself, is how a small file becomes a huge or endless tree.
        if (state_[object] != State::unseen) malformed("refers to one container more than once");
        state_[object] = State::open;
        std::uint64_t references = lengthAt(at, low);
        if (references > objectsEnd_) malformed("has a damaged container");
        if (type == 0xD) references *= 2;
        need(at, references * referenceSize_);
        for (std::uint64_t i = 0; i < references; ++i) {
            const std::uint64_t child = bigEndian(bytes_, at + i * referenceSize_, referenceSize_);
            if (child >= offsets_.size()) malformed("refers to a missing object");
            visit(child, depth + 1);
        }
        state_[object] = State::done;
    }

    ByteView bytes_;
    PropertyListShapeLimits limits_;
    std::size_t offsetSize_ = 0, referenceSize_ = 0;
    std::uint64_t top_ = 0, objectsEnd_ = 0, expanded_ = 0;
    std::vector<std::uint64_t> offsets_;
    std::vector<State> state_;
};

}  // namespace

void checkBinaryPropertyListShape(ByteView bytes, const PropertyListShapeLimits& limits) { ShapeCheck(bytes, limits).run(); }

}  // namespace oakenmere::platform
