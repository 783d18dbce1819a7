#include "sprite_check.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace {

std::string field_text(const char* field, size_t size) {
    return std::string(field, sprite_text_length(field, size));
}

std::string name_of(const SpriteEntry& e) { return field_text(e.name, SPRITE_NAME_SIZE); }

// ---------------------------------------------------------------------------
// The overlap sweep

// A tree of maxima over leaves in a fixed order, with one query: the first
// leaf among the first `count` whose value exceeds a bound.
struct MaxTree {
    size_t leaves = 1;
    std::vector<uint32_t> node;  // node[1] is the root; leaf i is node[leaves + i]
};

MaxTree make_max_tree(size_t count) {
    MaxTree t;
    while (t.leaves < count) t.leaves *= 2;
    t.node.assign(2 * t.leaves, 0);
    return t;
}

void set_leaf(MaxTree* t, size_t leaf, uint32_t value) {
    size_t i = t->leaves + leaf;
    t->node[i] = value;
    for (i /= 2; i >= 1; i /= 2) t->node[i] = std::max(t->node[2 * i], t->node[2 * i + 1]);
}

constexpr size_t kNone = static_cast<size_t>(-1);

// Node i spans leaves [lo, lo + span). Only nodes that reach into the prefix
// and hold a value above the bound are entered, so the walk is logarithmic.
size_t first_above(const MaxTree& t, size_t i, size_t lo, size_t span, size_t count,
                   uint32_t bound) {
    if (lo >= count || t.node[i] <= bound) return kNone;
    if (span == 1) return lo;
    size_t half = span / 2;
    size_t found = first_above(t, 2 * i, lo, half, count, bound);
    if (found != kNone) return found;
    return first_above(t, 2 * i + 1, lo + half, half, count, bound);
}

size_t first_above(const MaxTree& t, size_t count, uint32_t bound) {
    return first_above(t, 1, 0, t.leaves, count, bound);
}

struct Box {
    size_t sprite;
    uint32_t x0, x1, y0, y1;  // half-open: [x0, x1) by [y0, y1)
};

// Gives every sprite of `group` that overlaps another of it a partner in
// `partner`. Boxes enter the sweep by left edge and leave at their right
// edge. A box entering is checked against every box present whose vertical
// span meets its own: among those present, any one is its partner, and each
// one still without a partner gets the entering box. Every overlapping pair
// meets this way (the later one enters while the earlier is present), and a
// box leaves the tree of boxes without a partner once it has one, so every
// box is found there at most once.
void find_overlaps(const std::vector<SpriteEntry>& table, const TextureGroup& group,
                   std::vector<size_t>* partner) {
    std::vector<Box> boxes;
    for (size_t i : group.sprites) {
        const SpriteEntry& e = table[i];
        if (e.width == 0 || e.height == 0) continue;
        boxes.push_back({i, e.u, uint32_t(e.u) + e.width, e.v, uint32_t(e.v) + e.height});
    }
    if (boxes.size() < 2) return;
    // Leaves in the order of the top edges: the boxes whose top lies above a
    // bottom edge are then a prefix of the leaves.
    std::vector<size_t> by_top(boxes.size());
    for (size_t i = 0; i < by_top.size(); ++i) by_top[i] = i;
    std::sort(by_top.begin(), by_top.end(),
              [&](size_t a, size_t b) { return boxes[a].y0 < boxes[b].y0; });
    std::vector<size_t> leaf_of(boxes.size());
    std::vector<uint32_t> tops(boxes.size());
    for (size_t leaf = 0; leaf < by_top.size(); ++leaf) {
        leaf_of[by_top[leaf]] = leaf;
        tops[leaf] = boxes[by_top[leaf]].y0;
    }
    std::vector<size_t> by_left = by_top;
    std::stable_sort(by_left.begin(), by_left.end(),
                     [&](size_t a, size_t b) { return boxes[a].x0 < boxes[b].x0; });
    std::vector<size_t> by_right = by_left;
    std::stable_sort(by_right.begin(), by_right.end(),
                     [&](size_t a, size_t b) { return boxes[a].x1 < boxes[b].x1; });

    // Values are bottom edges (at least 1); 0 marks a leaf whose box is not present.
    MaxTree present = make_max_tree(boxes.size());
    MaxTree alone = make_max_tree(boxes.size());  // present and still without a partner
    size_t next_out = 0;
    for (size_t b : by_left) {
        const Box& box = boxes[b];
        for (; next_out < by_right.size() && boxes[by_right[next_out]].x1 <= box.x0; ++next_out) {
            size_t leaf = leaf_of[by_right[next_out]];
            set_leaf(&present, leaf, 0);
            set_leaf(&alone, leaf, 0);
        }
        size_t above = size_t(std::lower_bound(tops.begin(), tops.end(), box.y1) - tops.begin());
        size_t leaf = first_above(present, above, box.y0);
        if (leaf != kNone) (*partner)[box.sprite] = boxes[by_top[leaf]].sprite;
        while ((leaf = first_above(alone, above, box.y0)) != kNone) {
            (*partner)[boxes[by_top[leaf]].sprite] = box.sprite;
            set_leaf(&alone, leaf, 0);
        }
        set_leaf(&present, leaf_of[b], box.y1);
        if ((*partner)[box.sprite] == kNone) set_leaf(&alone, leaf_of[b], box.y1);
    }
}

// ---------------------------------------------------------------------------
// The other findings

Finding make_finding(size_t sprite, size_t group, FindingKind kind, size_t other = 0) {
    return {sprite, kind, other, group, nullptr, nullptr, nullptr};
}

void add_not_carried(std::vector<Finding>* out, size_t sprite, size_t group, const char* form,
                     const char* field, const char* reason) {
    if (!reason) return;
    Finding f = make_finding(sprite, group, FINDING_NOT_CARRIED);
    f.form = form;
    f.field = field;
    f.reason = reason;
    out->push_back(f);
}

// Every sprite whose name an earlier sprite has, with the index of the first.
std::vector<size_t> first_of_same_name(const std::vector<SpriteEntry>& table) {
    std::vector<size_t> order(table.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::vector<std::string> names(table.size());
    for (size_t i = 0; i < table.size(); ++i) names[i] = name_of(table[i]);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return names[a] < names[b]; });
    std::vector<size_t> first(table.size(), kNone);
    for (size_t k = 1; k < order.size(); ++k) {
        size_t previous = order[k - 1];
        if (names[order[k]] != names[previous]) continue;
        first[order[k]] = first[previous] == kNone ? previous : first[previous];
    }
    return first;
}

}  // namespace

std::vector<TextureGroup> group_textures(const std::vector<SpriteEntry>& table) {
    std::vector<TextureGroup> groups;
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < table.size(); ++i) {
        std::string texture = field_text(table[i].texture, SPRITE_TEXTURE_SIZE);
        auto found = index.find(texture);
        if (found == index.end()) {
            found = index.emplace(texture, groups.size()).first;
            groups.emplace_back();
            groups.back().texture = texture;
        }
        groups[found->second].sprites.push_back(i);
    }
    return groups;
}

const char* txt_not_carried(SpriteTextField field, const char* text, size_t length) {
    if (txt_can_carry(field, text, length)) return nullptr;
    if (length == 0) return "it is empty";
    if (field == SPRITE_FIELD_TEXTURE) return "it holds white space";
    return std::memchr(text, '"', length) ? "it holds a double quote" : "it holds a line break";
}

const char* csv_not_carried(const char* text, size_t length) {
    return csv_can_carry(text, length) ? nullptr : "it holds a line break";
}

TableCheck check_sprites(const std::vector<SpriteEntry>& table, std::vector<TextureGroup>* groups) {
    TableCheck check;
    check.marks.assign(table.size(), 0);
    std::vector<size_t> partner(table.size(), kNone);
    std::vector<size_t> group_of(table.size(), 0);
    for (size_t g = 0; g < groups->size(); ++g) {
        find_overlaps(table, (*groups)[g], &partner);
        for (size_t i : (*groups)[g].sprites) group_of[i] = g;
    }
    std::vector<size_t> same_name = first_of_same_name(table);
    for (size_t i = 0; i < table.size(); ++i) {
        const SpriteEntry& e = table[i];
        const size_t g = group_of[i];
        TextureGroup& group = (*groups)[g];
        if (partner[i] != kNone) {
            check.findings.push_back(make_finding(i, g, FINDING_OVERLAP, partner[i]));
            check.marks[i] |= MARK_OVERLAP;
            ++group.overlapping;
        }
        if (e.width == 0 || e.height == 0) {
            check.findings.push_back(make_finding(i, g, FINDING_ZERO_SIZE));
            check.marks[i] |= MARK_ZERO_SIZE;
            ++group.zero_size;
        }
        if (group.size_known &&
            (uint32_t(e.u) + e.width > group.width || uint32_t(e.v) + e.height > group.height)) {
            check.findings.push_back(make_finding(i, g, FINDING_OUT_OF_BOUNDS));
            check.marks[i] |= MARK_OUT_OF_BOUNDS;
            ++group.out_of_bounds;
        }
        if (same_name[i] != kNone) {
            check.findings.push_back(make_finding(i, g, FINDING_SAME_NAME, same_name[i]));
        }
        const size_t name_length = sprite_text_length(e.name, SPRITE_NAME_SIZE);
        const size_t texture_length = sprite_text_length(e.texture, SPRITE_TEXTURE_SIZE);
        add_not_carried(&check.findings, i, g, "TXT", "name",
                        txt_not_carried(SPRITE_FIELD_NAME, e.name, name_length));
        add_not_carried(&check.findings, i, g, "TXT", "texture",
                        txt_not_carried(SPRITE_FIELD_TEXTURE, e.texture, texture_length));
        add_not_carried(&check.findings, i, g, "CSV", "name", csv_not_carried(e.name, name_length));
        add_not_carried(&check.findings, i, g, "CSV", "texture",
                        csv_not_carried(e.texture, texture_length));
    }
    for (const Finding& f : check.findings) ++check.count[f.kind];
    return check;
}

std::string finding_text(const Finding& f, const std::vector<SpriteEntry>& table,
                         const std::vector<TextureGroup>& groups) {
    const SpriteEntry& e = table[f.sprite];
    switch (f.kind) {
    case FINDING_OVERLAP:
        return "overlaps " + std::to_string(f.other) + " \"" + printable_name(table[f.other]) +
               "\"";
    case FINDING_ZERO_SIZE:
        if (e.width == 0 && e.height == 0) return "zero width and height";
        return e.width == 0 ? "zero width" : "zero height";
    case FINDING_OUT_OF_BOUNDS: {
        const TextureGroup& g = groups[f.group];
        return "past its texture's size " + std::to_string(g.width) + " x " +
               std::to_string(g.height) + " (reaches " + std::to_string(uint32_t(e.u) + e.width) +
               ", " + std::to_string(uint32_t(e.v) + e.height) + ")";
    }
    case FINDING_SAME_NAME: return "same name as " + std::to_string(f.other);
    case FINDING_NOT_CARRIED:
        return std::string(f.field) + " cannot go through " + f.form + " and back: " + f.reason;
    case FINDING_KINDS: break;
    }
    return "";
}

std::string check_summary(const TableCheck& check, const std::vector<TextureGroup>& groups,
                          size_t sprites, size_t images) {
    auto count = [](size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string line = count(sprites, "sprite", "sprites") + " on " +
                       count(groups.size(), "texture", "textures") + ", " +
                       count(images, "image", "images") + " found: ";
    if (check.findings.empty()) return line + "nothing found";
    line += count(check.findings.size(), "finding", "findings") + " (";
    line += std::to_string(check.count[FINDING_OVERLAP]) + " overlap, ";
    line += std::to_string(check.count[FINDING_ZERO_SIZE]) + " zero size, ";
    line += std::to_string(check.count[FINDING_OUT_OF_BOUNDS]) + " past the texture, ";
    line += std::to_string(check.count[FINDING_SAME_NAME]) + " same name, ";
    line += std::to_string(check.count[FINDING_NOT_CARRIED]) + " not carried by TXT or CSV)";
    return line;
}

namespace {

// Length of the valid UTF-8 sequence at text[0] that encodes a character
// fit to show, or 0.
size_t showable_sequence(const unsigned char* p, size_t left) {
    size_t n;
    uint32_t cp;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2, cp = p[0] & 0x1Fu;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3, cp = p[0] & 0x0Fu;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4, cp = p[0] & 0x07u;
    } else {
        return 0;
    }
    if (left < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (p[i] & 0x3Fu);
    }
    const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF) return 0;  // overlong or too large
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;    // surrogate halves
    if (cp <= 0x9F) return 0;                      // C1 controls
    if ((cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE) return 0;  // non-characters
    return n;
}

}  // namespace

std::string printable_text(const char* text, size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length;) {
        unsigned char c = p[i];
        if (c == '\\' || c == '"') {
            out += '\\';
            out += char(c);
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
            ++i;
        } else if (size_t n = c >= 0x80 ? showable_sequence(p + i, length - i) : 0) {
            out.append(text + i, n);
            i += n;
        } else {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
            ++i;
        }
    }
    return out;
}

std::string printable_name(const SpriteEntry& entry) {
    return printable_text(entry.name, sprite_text_length(entry.name, SPRITE_NAME_SIZE));
}
