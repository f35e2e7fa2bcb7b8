// The package-lookup body as the server sends it, cut into the chunks a client reads.
// Input: a run of chunks, each a length byte followed by that many bytes (lengths 0xF0 and
// above stand for 256, 512, ... 4096 bytes, so that bodies beyond the budget are reached).
#include "net/lookup_rules.h"

#include "fuzz_check.h"

// The rules library is built without coverage instrumentation; compiling the body rules into
// this target lets libFuzzer see their branches. The library's copy is then never linked in.
#include "net/lookup_rules.cpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {
size_t ChunkLength(uint8_t b) { return b < 0xF0 ? b : static_cast<size_t>(b - 0xF0 + 1) * 256; }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the buffer the worker holds, on the heap so that a write past it is seen.
    std::unique_ptr<char[]> name(new char[kPackageNameBytes]);
    std::memset(name.get(), 'Z', kPackageNameBytes);
    LookupBody body(name.get());

    std::string received;
    size_t i = 0;
    bool refused = false;
    while (i < size) {
        size_t k = ChunkLength(data[i++]);
        if (k > size - i) k = size - i;
        // The chunk in a heap block of exactly k bytes: nothing behind it may be read.
        std::unique_ptr<char[]> chunk(new char[k == 0 ? 1 : k]);
        std::memcpy(chunk.get(), data + i, k);
        i += k;
        if (!body.Add(chunk.get(), k)) {
            // Refused exactly when this chunk takes the body beyond the budget.
            FUZZ_CHECK(received.size() + k > static_cast<size_t>(kLookupBudget));
            refused = true;
            break;
        }
        FUZZ_CHECK(received.size() + k <= static_cast<size_t>(kLookupBudget));
        received.append(chunk.get(), k);
        FUZZ_CHECK(body.Offset() == received.size());
    }
    if (refused) return 0;

    // The pass that finds no more data.
    FUZZ_CHECK(body.Add("", 0));
    bool finished = body.Finish();
    if (received.empty()) {
        FUZZ_CHECK(!finished);
        for (size_t j = 0; j < kPackageNameBytes; ++j) FUZZ_CHECK(name[j] == 'Z');
        return 0;
    }
    FUZZ_CHECK(finished);
    const void* terminator = std::memchr(name.get(), 0, kPackageNameBytes);
    FUZZ_CHECK(terminator != nullptr);
    size_t nameLength = static_cast<size_t>(static_cast<const char*>(terminator) - name.get());
    size_t expected = received.find('\0');
    if (expected == std::string::npos) expected = received.size();
    FUZZ_CHECK(nameLength == expected);
    FUZZ_CHECK(std::memcmp(name.get(), received.data(), nameLength) == 0);
    return 0;
}
