// wildcard_match on an arbitrary name and pattern (the input split at its
// first zero byte), plus properties any correct matcher has: a pattern that
// escapes every character of the name matches it, "*" matches every name
// that does not begin with '.', and a name never matches a pattern that is
// the name with one more literal character.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "wildcard.h"

namespace {

// A heap block of exactly the text and its terminator.
std::unique_ptr<char[]> exact_copy(const std::string& text) {
    std::unique_ptr<char[]> copy(new char[text.size() + 1]);
    memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

int match(const std::string& name, const std::string& pattern) {
    return wildcard_match(exact_copy(name).get(), exact_copy(pattern).get());
}

std::string escaped(const std::string& text) {
    std::string pattern;
    for (char c : text) {
        pattern += '\\';
        pattern += c;
    }
    return pattern;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* zero = memchr(bytes, 0, size);
    size_t name_length = zero ? size_t(static_cast<const char*>(zero) - bytes) : size;
    std::string name(bytes, name_length);
    std::string pattern;
    if (zero) {
        const char* p = bytes + name_length + 1;
        pattern.assign(p, strnlen(p, size - name_length - 1));
    }
    match(name, pattern);

    if (match(name, escaped(name)) != 1) fuzz_fail("a name does not match itself escaped");
    if (name.empty() || name[0] != '.') {
        if (match(name, "*") != 1) fuzz_fail("* does not match a name");
    }
    if (match(name, escaped(name) + "\\x") != 0)
        fuzz_fail("a name matches a longer literal pattern");
    return 0;
}
