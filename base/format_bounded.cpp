#include "base/format_bounded.h"

#include <cstdio>
#include <cstring>

namespace fmt {
namespace {

// Output that refuses to pass the capacity; `overflow` remembers that it had to.
struct BoundedOut {
    wchar_t* dest;
    size_t capacity; // units, terminator included
    size_t length = 0;
    bool overflow = false;

    void Put(wchar_t c) {
        if (length + 1 >= capacity) { // keep one unit for the terminator
            overflow = true;
            return;
        }
        dest[length++] = c;
    }
    void Repeat(wchar_t c, int count) {
        for (int i = 0; i < count && !overflow; ++i) Put(c);
    }
};

struct Spec {
    bool left = false, plus = false, space = false, zero = false, alt = false;
    int width = 0;
    int precision = -1;
    int longness = 0; // 0 int, 1 long, 2 long long, -1 short, -2 char
};

// A sane ceiling on width and precision: no text of ours comes near it, and it keeps the
// narrow scratch buffer for floating point bounded.
constexpr int kMaxField = 4096;

// `precisionZeros` are the leading zeros an integer's precision asks for; they stand
// between the prefix and the body and count towards the width.
void PutPadded(BoundedOut& out, const Spec& spec, const wchar_t* body, size_t bodyLen, const wchar_t* prefix,
               size_t prefixLen, bool zeroPadAllowed, int precisionZeros = 0) {
    int pad = spec.width - static_cast<int>(bodyLen + prefixLen) - precisionZeros;
    if (pad < 0) pad = 0;
    bool zeroPad = spec.zero && !spec.left && zeroPadAllowed;
    if (!spec.left && !zeroPad) out.Repeat(L' ', pad);
    for (size_t i = 0; i < prefixLen; ++i) out.Put(prefix[i]);
    if (zeroPad) out.Repeat(L'0', pad);
    out.Repeat(L'0', precisionZeros);
    for (size_t i = 0; i < bodyLen && !out.overflow; ++i) out.Put(body[i]);
    if (spec.left) out.Repeat(L' ', pad);
}

void PutInteger(BoundedOut& out, const Spec& spec, wchar_t conv, long long value) {
    bool isSigned = conv == L'd' || conv == L'i';
    unsigned long long magnitude;
    bool negative = false;
    if (isSigned) {
        switch (spec.longness) {
        case -2: value = ((value & 0xFF) ^ 0x80) - 0x80; break;       // as a signed char
        case -1: value = ((value & 0xFFFF) ^ 0x8000) - 0x8000; break; // as a short
        case 0:
        case 1: value = static_cast<int32_t>(value); break;
        default: break;
        }
        negative = value < 0;
        magnitude =
            negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    } else {
        magnitude = static_cast<unsigned long long>(value);
        switch (spec.longness) {
        case -2: magnitude &= 0xFFULL; break;
        case -1: magnitude &= 0xFFFFULL; break;
        case 0:
        case 1: magnitude &= 0xFFFFFFFFULL; break;
        default: break;
        }
    }
    unsigned base = (conv == L'x' || conv == L'X') ? 16 : (conv == L'o' ? 8 : 10);
    const wchar_t* digits = conv == L'X' ? L"0123456789ABCDEF" : L"0123456789abcdef";
    wchar_t body[32] = {}; // 22 octal digits at most
    size_t len = 0;
    wchar_t rev[32];
    size_t revLen = 0;
    for (unsigned long long m = magnitude; m != 0; m /= base) rev[revLen++] = digits[m % base];
    // The precision's zeros are written by PutPadded: a precision may reach kMaxField.
    int minDigits = spec.precision < 0 ? 1 : spec.precision;
    int precisionZeros = minDigits > static_cast<int>(revLen) ? minDigits - static_cast<int>(revLen) : 0;
    while (revLen > 0) body[len++] = rev[--revLen];
    if (spec.alt && base == 8 && precisionZeros == 0) precisionZeros = 1; // "%#o" always begins with 0
    wchar_t prefix[2];
    size_t prefixLen = 0;
    if (negative)
        prefix[prefixLen++] = L'-';
    else if (isSigned && spec.plus)
        prefix[prefixLen++] = L'+';
    else if (isSigned && spec.space)
        prefix[prefixLen++] = L' ';
    if (spec.alt && base == 16 && magnitude != 0) {
        prefix[0] = L'0';
        prefix[1] = conv;
        prefixLen = 2;
    }
    PutPadded(out, spec, body, len, prefix, prefixLen, spec.precision < 0, precisionZeros);
}

void PutFloat(BoundedOut& out, const Spec& spec, wchar_t conv, double value) {
    char narrowSpec[32];
    int p = 0;
    narrowSpec[p++] = '%';
    if (spec.left) narrowSpec[p++] = '-';
    if (spec.plus) narrowSpec[p++] = '+';
    if (spec.space) narrowSpec[p++] = ' ';
    if (spec.zero) narrowSpec[p++] = '0';
    if (spec.alt) narrowSpec[p++] = '#';
    narrowSpec[p++] = '*';
    narrowSpec[p++] = '.';
    narrowSpec[p++] = '*';
    narrowSpec[p++] = static_cast<char>(conv);
    narrowSpec[p] = '\0';
    // Width and precision are capped at kMaxField, and a double has at most 309 integer digits.
    char text[kMaxField + 400];
#ifdef _WIN32
    // The system C library's formatter: the portable one would add a printf engine of its
    // own to the executable. It answers -1 rather than a length when the text does not fit.
    int n =
        _snprintf(text, sizeof text, narrowSpec, spec.width, spec.precision < 0 ? 6 : spec.precision, value);
#else
    int n = std::snprintf(text, sizeof text, narrowSpec, spec.width, spec.precision < 0 ? 6 : spec.precision,
                          value);
#endif
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
        out.overflow = true;
        return;
    }
    for (int i = 0; i < n && !out.overflow; ++i)
        out.Put(static_cast<wchar_t>(static_cast<unsigned char>(text[i])));
}

void PutText(BoundedOut& out, const Spec& spec, const wchar_t* text) {
    if (text == nullptr) text = L"(null)";
    size_t len = 0;
    while (text[len] != 0 && (spec.precision < 0 || len < static_cast<size_t>(spec.precision))) ++len;
    PutPadded(out, spec, text, len, nullptr, 0, false);
}

bool ReadNumber(const wchar_t*& f, int& number) {
    number = 0;
    bool any = false;
    while (*f >= L'0' && *f <= L'9') {
        any = true;
        number = number * 10 + (*f - L'0');
        if (number > kMaxField) return false;
        ++f;
    }
    return any;
}

} // namespace

int FormatWithSource(wchar_t* dest, size_t capacity, const wchar_t* format, ArgSource& args) {
    if (dest == nullptr || capacity == 0) return -1;
    if (format == nullptr) {
        dest[0] = 0;
        return -1;
    }
    BoundedOut out{dest, capacity};
    bool malformed = false;
    for (const wchar_t* f = format; !malformed && !out.overflow && *f != 0; ++f) {
        if (*f != L'%') {
            out.Put(*f);
            continue;
        }
        ++f;
        if (*f == L'%') {
            out.Put(L'%');
            continue;
        }
        Spec spec;
        for (;; ++f) {
            if (*f == L'-')
                spec.left = true;
            else if (*f == L'+')
                spec.plus = true;
            else if (*f == L' ')
                spec.space = true;
            else if (*f == L'0')
                spec.zero = true;
            else if (*f == L'#')
                spec.alt = true;
            else
                break;
        }
        if (*f == L'*') {
            long long w = args.NextInt(false);
            if (w < -kMaxField || w > kMaxField) {
                malformed = true;
                break;
            }
            spec.width = static_cast<int>(w);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++f;
        } else if (*f >= L'0' && *f <= L'9' && !ReadNumber(f, spec.width)) {
            malformed = true;
            break;
        }
        if (*f == L'.') {
            ++f;
            if (*f == L'*') {
                long long pr = args.NextInt(false);
                if (pr > kMaxField) {
                    malformed = true;
                    break;
                }
                spec.precision = pr < 0 ? -1 : static_cast<int>(pr);
                ++f;
            } else {
                int pr = 0;
                if (*f >= L'0' && *f <= L'9' && !ReadNumber(f, pr)) {
                    malformed = true;
                    break;
                }
                spec.precision = pr;
            }
        }
        if (*f == L'h') {
            spec.longness = -1;
            if (*++f == L'h') {
                spec.longness = -2;
                ++f;
            }
        } else if (*f == L'l') {
            spec.longness = 1;
            if (*++f == L'l') {
                spec.longness = 2;
                ++f;
            }
        }
        wchar_t conv = *f;
        switch (conv) {
        case L'd':
        case L'i':
        case L'u':
        case L'x':
        case L'X':
        case L'o': PutInteger(out, spec, conv, args.NextInt(spec.longness == 2)); break;
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G':
            if (spec.longness != 0 && spec.longness != 1) {
                malformed = true;
                break;
            }
            PutFloat(out, spec, conv, args.NextDouble());
            break;
        case L's': PutText(out, spec, args.NextText()); break;
        case L'c': {
            wchar_t c[1] = {static_cast<wchar_t>(args.NextInt(false))};
            PutPadded(out, spec, c, 1, nullptr, 0, false);
            break;
        }
        default: // unknown conversion, %n, or the format ended inside a conversion
            malformed = true;
            break;
        }
    }
    if (out.overflow || malformed) {
        dest[0] = 0;
        return -1;
    }
    dest[out.length] = 0;
    return static_cast<int>(out.length);
}

namespace {
class VaSource final : public ArgSource {
public:
    explicit VaSource(va_list list) { va_copy(list_, list); }
    VaSource(const VaSource&) = delete;
    VaSource& operator=(const VaSource&) = delete;
    ~VaSource() { va_end(list_); }
    // The list is copied in the constructor; the analyzer does not follow it into members.
    // NOLINTBEGIN(clang-analyzer-valist.Uninitialized)
    long long NextInt(bool isLongLong) override {
        return isLongLong ? va_arg(list_, long long) : va_arg(list_, int);
    }
    double NextDouble() override { return va_arg(list_, double); }
    const wchar_t* NextText() override { return va_arg(list_, const wchar_t*); }
    // NOLINTEND(clang-analyzer-valist.Uninitialized)

private:
    va_list list_;
};
} // namespace

} // namespace fmt

int FormatBoundedV(wchar_t* dest, size_t capacity, const wchar_t* format, va_list args) {
    fmt::VaSource source(args);
    return fmt::FormatWithSource(dest, capacity, format, source);
}

int FormatBounded(wchar_t* dest, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = FormatBoundedV(dest, capacity, format, args);
    va_end(args);
    return result;
}
