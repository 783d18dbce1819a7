// Arbitrary bytes taken as an STB table, written out as TXT, CSV and XML and
// read back: every record must come back byte for byte. For TXT and CSV the
// records are first made into ones the form can carry (what becomes of the
// others is not fixed: a CSV row with an empty texture shifts its numbers
// left, say).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "sprite_table.h"
#include "text_forms.h"
#include "xml_json_forms.h"

namespace {

enum Form { FORM_TXT, FORM_CSV, FORM_XML };

// A record as every reader produces it: the bytes behind a name's or a
// texture's first zero byte are zero.
SpriteEntry normalised(SpriteEntry e) {
    SpriteEntry n = e;
    size_t name = sprite_text_length(e.name, SPRITE_NAME_SIZE);
    memset(n.name + name, 0, SPRITE_NAME_SIZE - name);
    size_t texture = sprite_text_length(e.texture, SPRITE_TEXTURE_SIZE);
    memset(n.texture + texture, 0, SPRITE_TEXTURE_SIZE - texture);
    return n;
}

// Replaces in the text of a field every byte the form cannot carry, and
// fills an empty field, so that the record comes back whole.
void make_carried(char* field, size_t size, const char* banned) {
    size_t n = sprite_text_length(field, size);
    if (n == 0) {
        memset(field, 0, size);
        field[0] = 'x';
    }
    for (size_t i = 0; i < n; ++i)
        if (strchr(banned, field[i])) field[i] = '_';
}

// The record as the form can carry it: TXT takes names of 1 to 32
// characters without '"' or a line break and textures of 1 to 8 without
// white space; CSV names and textures that are neither empty nor hold a
// separator or a line break. XML carries every record.
SpriteEntry carried(Form form, SpriteEntry e) {
    if (form == FORM_TXT) {
        make_carried(e.name, SPRITE_NAME_SIZE, "\"\n");
        make_carried(e.texture, SPRITE_TEXTURE_SIZE, " \t\n\v\f\r");
    } else if (form == FORM_CSV) {
        make_carried(e.name, SPRITE_NAME_SIZE, ",;\t\n");
        make_carried(e.texture, SPRITE_TEXTURE_SIZE, ",;\t\n");
    }
    return normalised(e);
}

std::string encoded(const std::vector<SpriteEntry>& records) {
    std::string bytes;
    for (const SpriteEntry& e : records) {
        unsigned char raw[SPRITE_ENTRY_SIZE];
        encode_sprite(e, raw);
        bytes.append(reinterpret_cast<char*>(raw), sizeof raw);
    }
    return bytes;
}

std::string whole(FILE* f) {
    std::string bytes;
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    return bytes;
}

void round_trip(Form form, const uint8_t* data, size_t size) {
    FILE* stb = tmpfile();
    FILE* text = tmpfile();
    FILE* back = tmpfile();
    if (!stb || !text || !back) fuzz_fail("cannot make temporary files");
    std::vector<SpriteEntry> expected;
    for (size_t off = 0; size - off >= SPRITE_ENTRY_SIZE; off += SPRITE_ENTRY_SIZE)
        expected.push_back(carried(form, decode_sprite(data + off)));
    const std::string table = encoded(expected);
    if (!table.empty() && fwrite(table.data(), 1, table.size(), stb) != table.size())
        fuzz_fail("cannot write the STB input");

    rewind(stb);
    switch (form) {
    case FORM_TXT: write_txt(text, stb); break;
    case FORM_CSV: write_csv(text, stb); break;
    case FORM_XML: write_xml(text, stb); break;
    }
    rewind(text);
    switch (form) {
    case FORM_TXT: read_txt(back, text); break;
    case FORM_CSV: read_csv(back, text); break;
    case FORM_XML: read_xml(back, text); break;
    }
    const std::string got = whole(back);
    if (got != table) {
        fprintf(stderr, "form %d: %zu records expected, %zu bytes read back\n", int(form),
                expected.size(), got.size());
        fuzz_fail("records do not come back through their text form");
    }
    fclose(stb);
    fclose(text);
    fclose(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (fuzz_silence_stdout(), true);
    (void)quiet;
    round_trip(FORM_TXT, data, size);
    round_trip(FORM_CSV, data, size);
    round_trip(FORM_XML, data, size);
    return 0;
}
