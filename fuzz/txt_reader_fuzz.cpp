// The TXT reader of sprite tables on arbitrary input (see sprite_reader_fuzz.h).
#include "sprite_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return run_sprite_reader(SPRITE_FORM_TXT, data, size);
}
