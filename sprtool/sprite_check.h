// Checking a sprite table: the mistakes a look at the table would show.
//
// A table is checked texture by texture (the texture field's bytes up to the
// first zero name the texture; textures come in the order of their first
// sprite). Each sprite may get these findings, in this order:
//   - it overlaps another sprite of its texture (one finding naming one of
//     them: which one is the sweep's choice);
//   - its width or height is 0 (such a sprite covers nothing and overlaps
//     nothing);
//   - it reaches past its texture's size, when that size is known;
//   - its name was used by an earlier sprite (naming the first one);
//   - its name or texture could not be written as TXT or CSV and read back.
// Overlaps are found with a sweep over the left edges, O(n log n) whatever
// the number of overlapping pairs. Nothing here prints or reads a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sprite_table.h"
#include "text_forms.h"

// One texture of the table and its sprites.
struct TextureGroup {
    std::string texture;          // the field's bytes up to the first zero (may be empty)
    std::vector<size_t> sprites;  // indices into the table, in table order
    bool size_known = false;      // set by the caller when the texture's image was found
    uint32_t width = 0;
    uint32_t height = 0;
    // Filled by check_sprites: sprites of this texture with each finding.
    size_t overlapping = 0;
    size_t zero_size = 0;
    size_t out_of_bounds = 0;
};

// The textures of the table in first-use order.
std::vector<TextureGroup> group_textures(const std::vector<SpriteEntry>& table);

enum FindingKind : uint8_t {
    FINDING_OVERLAP = 0,
    FINDING_ZERO_SIZE,
    FINDING_OUT_OF_BOUNDS,
    FINDING_SAME_NAME,
    FINDING_NOT_CARRIED,
    FINDING_KINDS
};

struct Finding {
    size_t sprite;
    FindingKind kind;
    size_t other;        // OVERLAP: a sprite it overlaps; SAME_NAME: the first with the name
    size_t group;        // index of the sprite's texture in the groups
    const char* form;    // NOT_CARRIED: "TXT" or "CSV"
    const char* field;   // NOT_CARRIED: "name" or "texture"
    const char* reason;  // NOT_CARRIED: why, e.g. "it holds a double quote"
};

// Marks per sprite, for drawing it.
enum SpriteMark : uint8_t {
    MARK_OVERLAP = 1,
    MARK_ZERO_SIZE = 2,
    MARK_OUT_OF_BOUNDS = 4,
};

struct TableCheck {
    std::vector<Finding> findings;  // by sprite index, then in the order of FindingKind
    std::vector<uint8_t> marks;     // one SpriteMark set per sprite
    size_t count[FINDING_KINDS] = {};
};

// Checks the table; `groups` comes from group_textures over the same table,
// with the sizes of the textures whose image was found, and gets its counts.
TableCheck check_sprites(const std::vector<SpriteEntry>& table, std::vector<TextureGroup>* groups);

// Why a name or texture of `length` bytes could not go through the form and
// come back the same (by the rules of text_forms.h), or null when it can.
const char* txt_not_carried(SpriteTextField field, const char* text, size_t length);
const char* csv_not_carried(const char* text, size_t length);

// The finding as k prints it after the sprite's index and name: "overlaps
// 3 \"hero\"", "zero width", ... Names in it are shown by printable_text.
std::string finding_text(const Finding& finding, const std::vector<SpriteEntry>& table,
                         const std::vector<TextureGroup>& groups);

// The line that sums the check up: sprites, textures, and how many findings
// of each kind. `images` tells how many textures had their size checked.
std::string check_summary(const TableCheck& check, const std::vector<TextureGroup>& groups,
                          size_t sprites, size_t images);

// Bytes of a name or texture shown safely on a terminal or in a page: valid
// UTF-8 stays, a backslash and a double quote get a backslash before them,
// and every other byte (control characters, DEL, bytes that are no valid
// UTF-8 or that encode a control character or a non-character) is written
// as \xNN. The result is always valid UTF-8 without control characters.
std::string printable_text(const char* text, size_t length);

// The name or texture field of a record as printable_text shows it.
std::string printable_name(const SpriteEntry& entry);
