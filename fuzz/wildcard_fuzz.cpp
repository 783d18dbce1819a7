// wildcard_match on a name and a pattern (the input split at its first zero byte), each in a
// heap block of its exact size so that a read past the end shows; then a few sure properties.
#include <vector>

#include "fuzz_support.h"
#include "wildcard.h"

static int match(const std::string& name, const std::string& pattern) {
    std::vector<char> n(name.c_str(), name.c_str() + name.size() + 1);
    std::vector<char> p(pattern.c_str(), pattern.c_str() + pattern.size() + 1);
    return wildcard_match(n.data(), p.data());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string name = input.c_str();  // up to the first zero byte
    match(name, input.c_str() + std::min(size, name.size() + 1));
    std::string escaped;
    for (char c : name) escaped += std::string("\\") + c;
    if (match(name, escaped) != 1) fuzz_fail("a name does not match itself escaped");
    if (match(name, escaped + "x") != 0) fuzz_fail("a name matches a longer literal pattern");
    if (name[0] != '.' && match(name, "*") != 1) fuzz_fail("* does not match a name");
    return 0;
}
