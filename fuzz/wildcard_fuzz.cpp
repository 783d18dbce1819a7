// wildcard_match on an arbitrary name and pattern (the input split at its
// first zero byte), each in a heap block of exactly its size so that a read
// past the end shows; then properties every correct matcher has.
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
    const std::string name = input.substr(0, input.find('\0'));
    const std::string rest = input.substr(std::min(size, name.size() + 1));
    match(name, rest.substr(0, rest.find('\0')));
    std::string escaped;
    for (char c : name) escaped += std::string("\\") + c;
    if (match(name, escaped) != 1) fuzz_fail("a name does not match itself escaped");
    if (match(name, escaped + "x") != 0) fuzz_fail("a name matches a longer literal pattern");
    if (name[0] != '.' && match(name, "*") != 1) fuzz_fail("* does not match a name");
    return 0;
}
