// The check and the page on any table. The page must parse as XML whatever the
// names hold, and every sprite must be found overlapping exactly when comparing
// every pair says so (for tables small enough to compare), with a partner it
// really overlaps.
#include <tinyxml2.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "sprite_check.h"
#include "sprite_view.h"

static bool overlap(const SpriteEntry& a, const SpriteEntry& b) {
    return std::memcmp(a.texture, b.texture, sprite_text_length(a.texture, SPRITE_TEXTURE_SIZE)) ==
               0 &&
           sprite_text_length(a.texture, SPRITE_TEXTURE_SIZE) ==
               sprite_text_length(b.texture, SPRITE_TEXTURE_SIZE) &&
           a.width && a.height && b.width && b.height && a.u < b.u + b.width &&
           b.u < a.u + a.width && a.v < b.v + b.height && b.v < a.v + a.height;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<SpriteEntry> table;
    for (size_t at = 0; at + SPRITE_ENTRY_SIZE <= size; at += SPRITE_ENTRY_SIZE)
        table.push_back(decode_sprite(data + at));
    std::vector<TextureGroup> groups = group_textures(table);
    // The first texture gets a size from the input's last bytes, as if its image was found.
    if (!groups.empty() && size % SPRITE_ENTRY_SIZE >= 2) {
        groups[0].size_known = true;
        groups[0].width = data[size - 1];
        groups[0].height = data[size - 2];
    }
    const TableCheck check = check_sprites(table, &groups);
    std::vector<size_t> partner(table.size(), table.size());
    for (const Finding& f : check.findings) {
        if (f.kind != FINDING_OVERLAP) continue;
        if (!overlap(table[f.sprite], table[f.other]) || f.sprite == f.other)
            fuzz_fail("a sprite is said to overlap one it does not");
        partner[f.sprite] = f.other;
    }
    for (size_t i = 0; i < table.size() && table.size() <= 64; ++i) {
        bool any = false;
        for (size_t j = 0; j < table.size(); ++j) any = any || (i != j && overlap(table[i], table[j]));
        if (any != (partner[i] != table.size())) fuzz_fail("an overlap was missed");
    }
    FILE* out = tmpfile();
    if (!out) fuzz_fail("cannot open a scratch stream");
    const std::vector<TextureImage> images(groups.size());
    const std::string title(reinterpret_cast<const char*>(data), std::min<size_t>(size, 16));
    write_view_page(out, ViewPage{title, &table, &groups, &check, &images, 0});
    std::string page;
    std::rewind(out);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, out)) > 0;) page.append(buf, n);
    std::fclose(out);
    tinyxml2::XMLDocument doc;
    if (doc.Parse(page.data(), page.size()) != tinyxml2::XML_SUCCESS)
        fuzz_fail("the page is no well-formed XML");
    return 0;
}
