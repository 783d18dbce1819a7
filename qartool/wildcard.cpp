#include "wildcard.h"

namespace {

// Matches one character against the set that starts at the '[' in *pattern.
// On return *pattern points at the set's closing ']'. Returns 1 when the set
// accepts t, 0 when it rejects it, and -1 when the pattern ends before the
// set is closed: such a pattern matches nothing.
int match_set(char t, const char** pattern) {
    const char* p = *pattern + 1;
    bool negated = false;
    if (*p == '!') {
        negated = true;
        ++p;
    }
    bool matched = false;
    int previous = 256;  // no character reaches it, so a leading '-' holds nothing
    int c = static_cast<signed char>(t);
    while (*p != '\0' && *p != ']') {
        if (*p == '-') {
            if (p[1] == '\0') return -1;
            int upper = static_cast<signed char>(p[1]);  // even a ']'
            if (c <= upper && c >= previous) matched = true;
            previous = upper;
            p += 2;
        } else {
            if (t == *p) matched = true;
            previous = static_cast<signed char>(*p);
            ++p;
        }
    }
    if (*p == '\0') return -1;
    *pattern = p;
    return matched != negated ? 1 : 0;
}

}  // namespace

int wildcard_match(const char* name, const char* pattern) {
    if ((pattern[0] == '*' || pattern[0] == '?') && name[0] == '.') return 0;
    return match_rest(name, pattern) == 1 ? 1 : 0;
}

int match_rest(const char* text, const char* pattern) {
    const char* p = pattern;
    while (*p != '\0') {
        char t = *text;
        if (t == '\0') return (p[0] == '*' && p[1] == '\0') ? 1 : -1;
        switch (*p) {
        case '\\':
            ++p;
            if (*p == '\0' || t != *p) return 0;
            break;
        case '?':
            break;
        case '*': {
            // A run of stars behaves as one while text remains: each inner
            // star's search succeeds or aborts on its first attempt. Skipping
            // the run keeps the recursion to one level per run.
            while (*p == '*') ++p;
            if (*p == '\0') return 1;
            return match_star(text, p);
        }
        case '[':
            if (match_set(t, &p) != 1) return 0;
            break;
        default:
            if (t != *p) return 0;
            break;
        }
        ++text;
        ++p;
    }
    return *text == '\0' ? 1 : 0;
}

int match_star(const char* text, const char* pattern) {
    for (;;) {
        int result = match_rest(text, pattern);
        if (result != 0) return result;
        ++text;
        if (*text == '\0') return -1;
    }
}
