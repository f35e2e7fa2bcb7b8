// The bounded formatter with any format, any arguments and any capacity.
// Input: two bytes of capacity (0 to 4299 units), one byte of format length, that many
// format units (one byte each), and the rest as the argument pool.
#include "base/format_bounded.h"

#include "fuzz_check.h"

// The rules library is built without coverage instrumentation; compiling the formatter into
// this target lets libFuzzer see its branches. The library's copy is then never linked in.
#include "base/format_bounded.cpp"

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

namespace {

// Arguments drawn from the fuzz input. When the pool runs dry it answers zeros and empty
// texts: it never reads beyond its own bytes, and it counts what the formatter asked for.
class PoolArgs final : public fmt::ArgSource {
public:
    PoolArgs(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    long long NextInt(bool isLongLong) override {
        ++requests;
        if (isLongLong) {
            int64_t v = 0;
            Take(&v, sizeof v);
            return v;
        }
        int32_t v = 0;
        Take(&v, sizeof v);
        return v;
    }
    double NextDouble() override {
        ++requests;
        double v = 0.0;
        Take(&v, sizeof v);
        return v;
    }
    const wchar_t* NextText() override {
        ++requests;
        uint8_t length = 0;
        Take(&length, 1);
        // A text of its own exact size on the heap, with no zero unit inside it.
        texts_.emplace_back(new wchar_t[length + 1]);
        wchar_t* text = texts_.back().get();
        size_t n = 0;
        for (; n < length && offset_ < size_; ++n) {
            uint8_t b = data_[offset_++];
            text[n] = b == 0 ? L'0' : static_cast<wchar_t>(b);
        }
        text[n] = 0;
        return text;
    }

    size_t requests = 0;

private:
    void Take(void* out, size_t n) {
        size_t available = size_ - offset_ < n ? size_ - offset_ : n;
        std::memcpy(out, data_ + offset_, available);
        offset_ += available;
    }
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    std::vector<std::unique_ptr<wchar_t[]>> texts_;
};

constexpr size_t kLargeCapacity = 8192; // above every capacity tried

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t capacity = (data[0] | (data[1] << 8)) % 4300;
    size_t formatLength = data[2];
    data += 3;
    size -= 3;
    if (formatLength > size) formatLength = size;

    std::unique_ptr<wchar_t[]> format(new wchar_t[formatLength + 1]);
    size_t percents = 0;
    bool hasCharConversion = false;
    for (size_t i = 0; i < formatLength; ++i) {
        format[i] = static_cast<wchar_t>(data[i]);
        if (data[i] == '%') ++percents;
        if (data[i] == 'c') hasCharConversion = true;
    }
    format[formatLength] = 0;
    const uint8_t* pool = data + formatLength;
    size_t poolSize = size - formatLength;

    // The destination at its exact capacity on the heap: a write past it is an ASan finding.
    std::unique_ptr<wchar_t[]> dest(new wchar_t[capacity == 0 ? 0 : capacity]);
    for (size_t i = 0; i < capacity; ++i) dest[i] = L'#';
    PoolArgs args(pool, poolSize);
    int result = fmt::FormatWithSource(dest.get(), capacity, format.get(), args);

    // Each conversion takes at most a width, a precision and a value.
    FUZZ_CHECK(args.requests <= 3 * percents);
    FUZZ_CHECK(result >= -1);
    if (capacity == 0) {
        FUZZ_CHECK(result == -1);
        return 0;
    }
    if (result == -1) {
        FUZZ_CHECK(dest[0] == 0);
    } else {
        FUZZ_CHECK(static_cast<size_t>(result) < capacity);
        FUZZ_CHECK(dest[result] == 0);
        // Only "%c" can place a zero unit inside the text.
        FUZZ_CHECK(std::wcslen(dest.get()) == static_cast<size_t>(result) || hasCharConversion);
    }

    // Whole or nothing: the same format with a large buffer decides what the small one holds.
    static wchar_t* const large = new wchar_t[kLargeCapacity]; // kept: it is the slow part
    PoolArgs again(pool, poolSize);
    int largeResult = fmt::FormatWithSource(large, kLargeCapacity, format.get(), again);
    FUZZ_CHECK(again.requests >= args.requests);
    if (largeResult < 0) {
        FUZZ_CHECK(result == -1);
    } else if (static_cast<size_t>(largeResult) < capacity) {
        FUZZ_CHECK(result == largeResult);
        FUZZ_CHECK(std::wmemcmp(dest.get(), large, static_cast<size_t>(result) + 1) == 0);
    } else {
        FUZZ_CHECK(result == -1);
    }
    return 0;
}
