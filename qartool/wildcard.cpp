#include "wildcard.h"

namespace {

char fold_char(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

char other_case(char c) {
    if (c >= 'A' && c <= 'Z') return char(c - 'A' + 'a');
    if (c >= 'a' && c <= 'z') return char(c - 'a' + 'A');
    return c;
}

bool same_char(char a, char b, int fold) { return fold ? fold_char(a) == fold_char(b) : a == b; }

bool in_range(int c, int low, int high) { return c >= low && c <= high; }

// Matches one character against the set that starts at the '[' in *pattern.
// On return *pattern points at the set's closing ']'. Returns 1 when the set
// accepts t, 0 when it rejects it, and -1 when the pattern ends before the
// set is closed: such a pattern matches nothing. With fold, t is a member
// when either of its cases is; the set's ranges stay as written ("[Z-a]"
// holds "[" but not "b").
int match_set(char t, const char** pattern, int fold) {
    const char* p = *pattern + 1;
    bool negated = false;
    if (*p == '!') {
        negated = true;
        ++p;
    }
    bool matched = false;
    int previous = 256;  // no character reaches it, so a leading '-' holds nothing
    int c = static_cast<signed char>(t);
    int c2 = fold ? static_cast<signed char>(other_case(t)) : c;
    while (*p != '\0' && *p != ']') {
        if (*p == '-') {
            if (p[1] == '\0') return -1;
            int upper = static_cast<signed char>(p[1]);  // even a ']'
            if (in_range(c, previous, upper) || in_range(c2, previous, upper)) matched = true;
            previous = upper;
            p += 2;
        } else {
            int member = static_cast<signed char>(*p);
            if (c == member || c2 == member) matched = true;
            previous = member;
            ++p;
        }
    }
    if (*p == '\0') return -1;
    *pattern = p;
    return matched != negated ? 1 : 0;
}

int match_from_start(const char* name, const char* pattern, int fold) {
    if ((pattern[0] == '*' || pattern[0] == '?') && name[0] == '.') return 0;
    return match_rest(name, pattern, fold) == 1 ? 1 : 0;
}

}  // namespace

int wildcard_match(const char* name, const char* pattern) {
    return match_from_start(name, pattern, 0);
}

int wildcard_match_nocase(const char* name, const char* pattern) {
    return match_from_start(name, pattern, 1);
}

int match_rest(const char* text, const char* pattern, int fold) {
    const char* p = pattern;
    while (*p != '\0') {
        char t = *text;
        if (t == '\0') return (p[0] == '*' && p[1] == '\0') ? 1 : -1;
        switch (*p) {
        case '\\':
            ++p;
            if (*p == '\0' || !same_char(t, *p, fold)) return 0;
            break;
        case '?':
            break;
        case '*': {
            // A run of stars behaves as one while text remains: each inner
            // star's search succeeds or aborts on its first attempt. Skipping
            // the run keeps the recursion to one level per run.
            while (*p == '*') ++p;
            if (*p == '\0') return 1;
            return match_star(text, p, fold);
        }
        case '[':
            if (match_set(t, &p, fold) != 1) return 0;
            break;
        default:
            if (!same_char(t, *p, fold)) return 0;
            break;
        }
        ++text;
        ++p;
    }
    return *text == '\0' ? 1 : 0;
}

int match_star(const char* text, const char* pattern, int fold) {
    for (;;) {
        int result = match_rest(text, pattern, fold);
        if (result != 0) return result;
        ++text;
        if (*text == '\0') return -1;
    }
}

int matches_any(const char* name, const std::vector<const char*>& patterns) {
    for (const char* pattern : patterns)
        if (wildcard_match_nocase(name, pattern)) return 1;
    return 0;
}
