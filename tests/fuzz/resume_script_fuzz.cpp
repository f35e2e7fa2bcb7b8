// The resume script's bytes for any installer path. The path comes as GetModuleFileNameA
// leaves it in its 260-byte buffer: a path that fills the buffer may lack its terminator,
// so a path of 259 bytes or more is handed over without one.
#include "restart/resume_script_rules.h"

#include "fuzz_check.h"

// The rules library is built without coverage instrumentation; compiling the script rules into
// this target lets libFuzzer see their branches. The library's copy is then never linked in.
#include "restart/resume_script_rules.cpp"

#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const char* arguments = (data[0] & 1) ? "/c /l" : "/c";
    size_t capacity = data[1] * 2; // 0 to 510 bytes of output room
    data += 2;
    size -= 2;

    const size_t kMaxPath = kInstallerPathBytes - 1;
    size_t pathLength = 0;
    while (pathLength < size && data[pathLength] != 0) ++pathLength;
    std::unique_ptr<char[]> path;
    if (pathLength >= kMaxPath) {
        path.reset(new char[kMaxPath]); // exactly the bytes that may be read, no terminator
        std::memcpy(path.get(), data, kMaxPath);
    } else {
        path.reset(new char[pathLength + 1]);
        std::memcpy(path.get(), data, pathLength);
        path[pathLength] = 0;
    }
    size_t kept = pathLength < kMaxPath ? pathLength : kMaxPath;
    size_t m = std::strlen(arguments);
    size_t total = 27 + kept + m;
    FUZZ_CHECK(total <= kResumeScriptMaxBytes);

    std::unique_ptr<char[]> out(new char[capacity == 0 ? 1 : capacity]);
    std::memset(out.get(), '~', capacity == 0 ? 1 : capacity);
    size_t written = BuildResumeScript(out.get(), capacity, path.get(), arguments);
    if (total > capacity) {
        FUZZ_CHECK(written == 0);
        for (size_t i = 0; i < capacity; ++i) FUZZ_CHECK(out[i] == '~');
        return 0;
    }
    FUZZ_CHECK(written == total);
    const char* s = out.get();
    FUZZ_CHECK(std::memcmp(s, "start \"MORVELT\" \"", 17) == 0);
    FUZZ_CHECK(std::memcmp(s + 17, data, kept) == 0);
    FUZZ_CHECK(std::memcmp(s + 17 + kept, "\" ", 2) == 0);
    FUZZ_CHECK(std::memcmp(s + 19 + kept, arguments, m) == 0);
    FUZZ_CHECK(std::memcmp(s + 19 + kept + m, "\r\nexit\r\n", 8) == 0);
    return 0;
}
