#include "net/lookup_rules.h"

#include <cstring>

bool LookupBody::Add(const char* chunk, size_t k) {
    if (k > static_cast<size_t>(kLookupBudget)) return false;
    budget_ -= static_cast<int32_t>(k);
    if (budget_ < 0) return false;
    if (k == 0) return true;
    // Copy up to and including the chunk's first zero byte. The budget bounds offset + k
    // by 2048, inside the 2049-byte buffer.
    const void* zero = std::memchr(chunk, 0, k);
    size_t copy = zero ? static_cast<size_t>(static_cast<const char*>(zero) - chunk) + 1 : k;
    std::memcpy(name_ + offset_, chunk, copy);
    if (!sawZero_) {
        if (zero) {
            nameLength_ = offset_ + copy - 1;
            sawZero_ = true;
        } else {
            nameLength_ = offset_ + copy;
        }
    }
    offset_ += k;
    return true;
}

bool LookupBody::Finish() {
    if (offset_ == 0) return false;
    name_[nameLength_] = 0;
    return true;
}
