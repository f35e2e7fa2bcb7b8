#pragma once
// Accumulation of the package-lookup body into the caller's name buffer.
#include <cstddef>
#include <cstdint>

// The name buffer has room for a body of the whole budget plus its terminating zero, so a
// body of exactly 2048 bytes is taken whole and still ends in a zero byte.
constexpr int32_t kLookupBudget = 2048;
constexpr size_t kPackageNameBytes = kLookupBudget + 1;

class LookupBody {
public:
    // The buffer must hold kPackageNameBytes. It is not cleared: a body of no bytes leaves
    // it as it was, which is why Finish() writes the terminator.
    explicit LookupBody(char* packageName) : name_(packageName) {}

    // One chunk of k bytes as read. False when the budget is exceeded; nothing of such a
    // chunk is copied.
    [[nodiscard]] bool Add(const char* chunk, size_t k);

    // True when the accumulated name is usable: at least one byte arrived (an empty body
    // is no package name) and it ends in a zero byte within the buffer.
    [[nodiscard]] bool Finish();

    size_t Offset() const { return offset_; }

private:
    char* name_;
    int32_t budget_ = kLookupBudget;
    size_t offset_ = 0;
    size_t nameLength_ = 0; // bytes before the first zero byte seen so far
    bool sawZero_ = false;
};
