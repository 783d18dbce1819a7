// Matching record names against the patterns of the list, extract and delete
// commands.
//
// Patterns know `*` (any run of characters), `?` (any one character), sets
// `[...]` with ranges `a-z` and negation `[!...]`, and `\` to take the next
// character literally. Characters are bytes, compared exactly (case
// matters) or, with wildcard_match_nocase, with A-Z and a-z taken as equal.
// A name that begins with '.' is matched by no pattern that begins with `*`
// or `?`. The matcher allocates nothing, never reads past the
// terminating zero of either string, and keeps no state.
#pragma once

#include <vector>

// 1 when the name matches the pattern, else 0.
int wildcard_match(const char* name, const char* pattern);

// As wildcard_match, but letters match without regard to ASCII case: the
// commands use it, since a user types "*.DEF" for the stored "*.def". A set
// accepts a letter when it holds either case of it.
int wildcard_match_nocase(const char* name, const char* pattern);

// 1 when the name matches at least one of the patterns (wildcard_match_nocase):
// how the -x patterns leave out files, folders and records.
int matches_any(const char* name, const std::vector<const char*>& patterns);

// The inner match from the current positions: 1 match, 0 no match, -1 the
// text ran out while pattern items other than one final `*` remained (no
// later starting point of an enclosing `*` can match either). fold 1 ignores
// ASCII case.
int match_rest(const char* text, const char* pattern, int fold = 0);

// The search after a `*`: tries the rest of the pattern at every position of
// the text. Called with a non-empty text and a non-empty pattern; 1 or -1.
int match_star(const char* text, const char* pattern, int fold = 0);
