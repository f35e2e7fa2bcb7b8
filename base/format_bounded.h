#pragma once
// Bounded formatter for every fixed-capacity UTF-16 text buffer of the installer.
// The text is stored whole or not at all: when it does not fit (or the format is malformed)
// the destination holds an empty text and the answer is -1. Nothing is ever written past
// `capacity` units. "%s" always takes UTF-16 (wchar_t) text.
#include <cstddef>
#include <cstdint>
#include <cstdarg>

namespace fmt {

// Where the formatter takes its arguments from: a va_list in the product, a bounded list in
// the fuzzer (which must never read an argument that was not passed).
class ArgSource {
public:
    virtual long long NextInt(bool isLongLong) = 0;
    virtual double NextDouble() = 0;
    virtual const wchar_t* NextText() = 0;

protected:
    ~ArgSource() = default;
};

[[nodiscard]] int FormatWithSource(wchar_t* dest, size_t capacity, const wchar_t* format, ArgSource& args);

} // namespace fmt

[[nodiscard]] int FormatBounded(wchar_t* dest, size_t capacity, const wchar_t* format, ...);
[[nodiscard]] int FormatBoundedV(wchar_t* dest, size_t capacity, const wchar_t* format, va_list args);
