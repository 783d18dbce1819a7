// The sprite table as one self-contained web page.
//
// The page is XHTML that reads as HTML too: it parses as XML, names no
// outside resource, and holds its style, its one small script and its
// images. From the top: a summary table with one row per texture, the table
// of findings, then one section per texture (first-use order) with an SVG
// drawing of its sprites in texture coordinates: the image, when found,
// under thin outlines and names. Overlapping sprites are filled in one
// warning colour, sprites past their texture's size drawn in a second, and
// zero-size sprites get a ring at their corner. Hovering over or focusing a
// sprite shows its seven fields. Every name goes through printable_text and
// is escaped for the markup, so no byte of a name can break the page.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "sprite_check.h"
#include "sprite_table.h"
#include "texture_images.h"

// The findings table lists at most this many rows; a line under it says how
// many more there are (sprtool k lists them all). This keeps the page of a
// table with several findings per sprite at a size a browser still opens.
constexpr size_t VIEW_MAX_FINDING_ROWS = 100000;

struct ViewPage {
    std::string title;                         // shown as the page's title (any bytes)
    const std::vector<SpriteEntry>* table;
    const std::vector<TextureGroup>* groups;   // checked, with their counts
    const TableCheck* check;
    const std::vector<TextureImage>* images;   // per group; bytes empty: no image
    size_t images_found;
};

// Writes the page to `out`. Write errors are left in the stream's error flag.
void write_view_page(FILE* out, const ViewPage& page);
