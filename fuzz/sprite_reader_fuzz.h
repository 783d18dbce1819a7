// The common body of the sprite-table reader harnesses. The input is written
// to a file in a scratch directory that is also the current directory, so
// that include lines can name it (a file that includes itself) or the few
// small sources placed beside it; include names that could leave the scratch
// directory are rejected before the reader runs. The reader appends records
// to an anonymous STB file, which must then hold whole 52-byte records only.
#pragma once

#include <cstddef>
#include <cstdint>

enum SpriteForm { SPRITE_FORM_TXT, SPRITE_FORM_CSV, SPRITE_FORM_XML };

// Returns what LLVMFuzzerTestOneInput returns: 0, or -1 for an input that
// must not enter the corpus (an include that leaves the scratch directory).
int run_sprite_reader(SpriteForm form, const uint8_t* data, size_t size);
