// Linked into the test builds of both tools, and only there: before main it reads which
// call to fail from QAR_TEST_FAIL_CALL ("<kind> <n> <errno>", the kind as plat_call_name
// gives it), and at exit it writes the calls made, one "<kind> <count>" line per kind, to
// the file QAR_TEST_CALL_COUNTS names.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

void write_counts() {
    const char* path = std::getenv("QAR_TEST_CALL_COUNTS");
    // Straight through the runtime: this write is the test's, not the tool's.
    FILE* out = path != nullptr ? std::fopen(path, "w") : nullptr;
    if (out == nullptr) return;
    for (int kind = 0; kind < PLAT_CALL_KINDS; ++kind)
        std::fprintf(out, "%s %llu\n", plat_call_name(PlatCall(kind)),
                     static_cast<unsigned long long>(plat_calls_made(PlatCall(kind))));
    std::fclose(out);
}

[[maybe_unused]] const int g_knob = [] {
    const char* setting = std::getenv("QAR_TEST_FAIL_CALL");
    char kind[16];
    unsigned long long nth = 0;
    int error = 0;
    if (setting != nullptr && std::sscanf(setting, "%15s %llu %d", kind, &nth, &error) == 3)
        for (int k = 0; k < PLAT_CALL_KINDS; ++k)
            if (std::strcmp(kind, plat_call_name(PlatCall(k))) == 0) plat_fail_call(PlatCall(k), nth, error);
    return std::atexit(write_counts);
}();

}  // namespace
