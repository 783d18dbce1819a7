#include "sprite_view.h"

#include <algorithm>
#include <cstdint>

namespace {

// Collects the page and hands it to the stream in pieces of about this size.
constexpr size_t kPagePiece = size_t(1) << 20;

struct PageWriter {
    FILE* out;
    std::string buffer;
};

void flush_page(PageWriter* w) {
    if (!w->buffer.empty()) std::fwrite(w->buffer.data(), 1, w->buffer.size(), w->out);
    w->buffer.clear();
}

void put(PageWriter* w, const std::string& text) {
    w->buffer += text;
    if (w->buffer.size() >= kPagePiece) flush_page(w);
}

void put_number(PageWriter* w, uint64_t n) { put(w, std::to_string(n)); }

// Markup escaping of text that printable_text made safe (valid UTF-8, no
// control character); fit for element text and attribute values alike.
std::string escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string shown(const std::string& bytes) {
    return escaped(printable_text(bytes.data(), bytes.size()));
}

// Writes the bytes as base64 straight into the page, so that an image of
// many megabytes is never held a second time as text.
void put_base64(PageWriter* w, const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = uint32_t(p[i]) << 16;
        if (i + 1 < n) v |= uint32_t(p[i + 1]) << 8;
        if (i + 2 < n) v |= p[i + 2];
        w->buffer += digits[v >> 18 & 63];
        w->buffer += digits[v >> 12 & 63];
        w->buffer += i + 1 < n ? digits[v >> 6 & 63] : '=';
        w->buffer += i + 2 < n ? digits[v & 63] : '=';
        if (w->buffer.size() >= kPagePiece) flush_page(w);
    }
}

// Texture units as a decimal for the drawing's attributes: seven digits keep
// every whole unit up to 65535 and a fraction behind it (four would put a
// name at 12345.3 at "1.235e+04", ten units off its sprite).
std::string units(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7g", value);
    return text;
}

const char kHead[] =
    "<!DOCTYPE html>\n"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n"
    "<head>\n<meta charset=\"utf-8\"/>\n"
    "<meta name=\"viewport\" content=\"width=device-width\"/>\n"
    "<style>\n"
    "body{font:14px sans-serif;margin:16px;color:#222;background:#fff}\n"
    "table{border-collapse:collapse;margin:6px 0 18px}\n"
    "th,td{border:1px solid #bbb;padding:2px 8px;text-align:left}\n"
    "td.n{text-align:right}\n"
    "tr.all td{font-weight:bold}\n"
    "h2{font-size:16px;margin:20px 0 6px}\n"
    "h2 small{font-weight:normal;color:#555}\n"
    "svg{display:block;max-width:100%;height:auto;border:1px solid #888;background:#fff}\n"
    "svg.unsized{border-style:dashed}\n"
    "svg image{image-rendering:pixelated}\n"
    "rect.edge{fill:none;stroke:#000;stroke-dasharray:4 3;vector-effect:non-scaling-stroke}\n"
    "g rect{fill:none;stroke:#1560bd;stroke-width:1px;vector-effect:non-scaling-stroke}\n"
    "g.b rect{fill:#a020f0;fill-opacity:.4;stroke:#a020f0;stroke-width:2px}\n"
    "g.o rect{fill:#ff3000;fill-opacity:.5}\n"
    "g circle{fill:none;stroke:#e07000;stroke-width:2px;vector-effect:non-scaling-stroke}\n"
    "g text{fill:#000;pointer-events:none}\n"
    "g:hover rect,g:focus rect{stroke:#000;stroke-width:2px}\n"
    "g:focus{outline:none}\n"
    ".key span{display:inline-block;width:12px;height:12px;margin:0 4px 0 12px;"
    "vertical-align:middle;border:1px solid #1560bd}\n"
    "#info{position:fixed;top:8px;right:8px;background:#ffffe8;border:1px solid #888;"
    "padding:4px 8px;white-space:pre;font:12px monospace;display:none}\n"
    "</style>\n";

// Shows the seven fields of the sprite under the pointer or in focus. It
// reads them from the drawing itself: the index from the id, the rectangle
// from the first child, the name from the last, the texture and flags from
// attributes.
const char kScript[] =
    "<script>\n"
    "var info=document.getElementById('info');\n"
    "function show(ev){var g=ev.target.closest?ev.target.closest('g[id]'):null;if(!g)return;\n"
    "var r=g.firstElementChild,f=function(k){return r.getAttribute(k)};\n"
    "info.textContent='sprite  '+g.id.slice(1)+'\\nname    '+g.lastElementChild.textContent"
    "+'\\ntexture '+g.parentNode.getAttribute('data-t')+'\\nu       '+f('x')+'\\nv       '+f('y')"
    "+'\\nwidth   '+f('width')+'\\nheight  '+f('height')+'\\nflags   '+g.getAttribute('data-f');\n"
    "info.style.display='block'}\n"
    "document.addEventListener('mouseover',show);document.addEventListener('focusin',show);\n"
    "</script>\n";

void put_count_cell(PageWriter* w, const char* kind, size_t n) {
    put(w, "<td class=\"n ");
    put(w, kind);
    put(w, "\">");
    put_number(w, n);
    put(w, "</td>");
}

void put_summary(PageWriter* w, const ViewPage& page) {
    const std::vector<TextureGroup>& groups = *page.groups;
    put(w,
        "<table id=\"summary\">\n<tr><th>texture</th><th>image</th><th>sprites</th>"
        "<th>overlapping</th><th>out of bounds</th><th>zero size</th></tr>\n");
    size_t sprites = 0, overlapping = 0, out_of_bounds = 0, zero = 0;
    for (size_t g = 0; g < groups.size(); ++g) {
        const TextureGroup& group = groups[g];
        put(w, "<tr><td><a href=\"#t");
        put_number(w, g);
        put(w, "\">" + shown(group.texture) + "</a></td><td>");
        put(w, group.size_known ? std::to_string(group.width) + " x " + std::to_string(group.height)
                                : std::string("none"));
        put(w, "</td>");
        put_count_cell(w, "sprites", group.sprites.size());
        put_count_cell(w, "overlapping", group.overlapping);
        if (group.size_known) {
            put_count_cell(w, "bounds", group.out_of_bounds);
        } else {
            put(w, "<td class=\"n bounds\">not checked</td>");
        }
        put_count_cell(w, "zero", group.zero_size);
        put(w, "</tr>\n");
        sprites += group.sprites.size();
        overlapping += group.overlapping;
        out_of_bounds += group.out_of_bounds;
        zero += group.zero_size;
    }
    put(w, "<tr class=\"all\"><td>all</td><td>");
    put_number(w, page.images_found);
    put(w, page.images_found == 1 ? " image</td>" : " images</td>");
    put_count_cell(w, "sprites", sprites);
    put_count_cell(w, "overlapping", overlapping);
    put_count_cell(w, "bounds", out_of_bounds);
    put_count_cell(w, "zero", zero);
    put(w, "</tr>\n</table>\n");
}

void put_findings(PageWriter* w, const ViewPage& page) {
    const std::vector<Finding>& findings = page.check->findings;
    put(w, "<h2>Findings</h2>\n");
    if (findings.empty()) {
        put(w, "<p id=\"findings\">None.</p>\n");
        return;
    }
    put(w, "<table id=\"findings\">\n<tr><th>sprite</th><th>name</th><th>finding</th></tr>\n");
    const size_t rows = std::min(findings.size(), VIEW_MAX_FINDING_ROWS);
    for (size_t i = 0; i < rows; ++i) {
        const Finding& f = findings[i];
        put(w, "<tr><td><a href=\"#s");
        put_number(w, f.sprite);
        put(w, "\">");
        put_number(w, f.sprite);
        put(w, "</a></td><td>" + escaped(printable_name((*page.table)[f.sprite])) + "</td><td>" +
                   escaped(finding_text(f, *page.table, *page.groups)) + "</td></tr>\n");
    }
    put(w, "</table>\n");
    if (rows < findings.size()) {
        put(w, "<p>" + std::to_string(findings.size() - rows) +
                   " more findings are not listed here; sprtool k lists them all.</p>\n");
    }
}

// The drawing's size in texture units: the texture's, widened to what its
// sprites reach, so that the part of a sprite past the texture shows too.
void drawing_size(const ViewPage& page, const TextureGroup& group, uint32_t* width,
                  uint32_t* height) {
    *width = std::max<uint32_t>(1, group.width);
    *height = std::max<uint32_t>(1, group.height);
    for (size_t i : group.sprites) {
        const SpriteEntry& e = (*page.table)[i];
        *width = std::max(*width, uint32_t(e.u) + e.width);
        *height = std::max(*height, uint32_t(e.v) + e.height);
    }
}

void put_sprite(PageWriter* w, const ViewPage& page, size_t index, double font) {
    const SpriteEntry& e = (*page.table)[index];
    const uint8_t marks = page.check->marks[index];
    std::string classes;
    if (marks & MARK_OVERLAP) classes += "o";
    if (marks & MARK_OUT_OF_BOUNDS) classes += classes.empty() ? "b" : " b";
    if (marks & MARK_ZERO_SIZE) classes += classes.empty() ? "z" : " z";
    char flags[16];
    std::snprintf(flags, sizeof flags, "0x%08x", static_cast<unsigned>(e.flags));
    std::string text = "<g id=\"s" + std::to_string(index) + "\"";
    if (!classes.empty()) text += " class=\"" + classes + "\"";
    text += " tabindex=\"0\" data-f=\"" + std::string(flags) + "\"><rect x=\"" +
            std::to_string(e.u) + "\" y=\"" + std::to_string(e.v) + "\" width=\"" +
            std::to_string(e.width) + "\" height=\"" + std::to_string(e.height) + "\"/>";
    if (marks & MARK_ZERO_SIZE) {
        text += "<circle cx=\"" + std::to_string(e.u) + "\" cy=\"" + std::to_string(e.v) +
                "\" r=\"" + units(font / 2) + "\"/>";
    }
    text += "<text x=\"" + units(e.u + font / 5) + "\" y=\"" + units(e.v + font) + "\">" +
            escaped(printable_name(e)) + "</text></g>\n";
    put(w, text);
}

void put_section(PageWriter* w, const ViewPage& page, size_t g) {
    const TextureGroup& group = (*page.groups)[g];
    const TextureImage& image = (*page.images)[g];
    uint32_t width, height;
    drawing_size(page, group, &width, &height);
    // Small textures are drawn larger, by a whole factor so that every texel
    // stays square, up to 512 screen pixels across.
    const uint32_t scale =
        std::max<uint32_t>(1, std::min<uint32_t>(8, 512 / std::max(width, height)));
    const double font = 11.0 / scale;  // the names' size: 11 screen pixels
    put(w, "<section id=\"t" + std::to_string(g) + "\">\n<h2>" + shown(group.texture) + " <small>");
    put(w, std::to_string(group.sprites.size()) +
               (group.sprites.size() == 1 ? " sprite, " : " sprites, "));
    put(w, group.size_known
               ? "image " + std::to_string(group.width) + " x " + std::to_string(group.height)
               : std::string("no image: drawn to the sprites' extent"));
    put(w, "</small></h2>\n<svg xmlns=\"http://www.w3.org/2000/svg\"");
    if (!group.size_known) put(w, " class=\"unsized\"");
    put(w, " width=\"" + std::to_string(uint64_t(width) * scale) + "\" height=\"" +
               std::to_string(uint64_t(height) * scale) + "\" viewBox=\"0 0 " +
               std::to_string(width) + " " + std::to_string(height) + "\" data-t=\"" +
               shown(group.texture) + "\" font-size=\"" + units(font) + "\">\n");
    const std::string size = "width=\"" + std::to_string(group.width) + "\" height=\"" +
                             std::to_string(group.height) + "\"";
    if (!image.bytes.empty()) {
        put(w, "<image x=\"0\" y=\"0\" " + size +
                   " preserveAspectRatio=\"none\" href=\"data:image/png;base64,");
        put_base64(w, image.bytes);
        put(w, "\"/>\n");
    }
    if (group.size_known && (width > group.width || height > group.height)) {
        put(w, "<rect class=\"edge\" x=\"0\" y=\"0\" " + size + "/>\n");
    }
    for (size_t i : group.sprites) put_sprite(w, page, i, font);
    put(w, "</svg>\n</section>\n");
}

}  // namespace

void write_view_page(FILE* out, const ViewPage& page) {
    PageWriter w{out, std::string()};
    put(&w, kHead);
    put(&w, "<title>Sprite table " + shown(page.title) + "</title>\n</head>\n<body>\n");
    put(&w, "<h1>Sprite table " + shown(page.title) + "</h1>\n");
    put(&w, "<p id=\"totals\">" +
                escaped(check_summary(*page.check, *page.groups, page.table->size(),
                                      page.images_found)) +
                "</p>\n");
    put(&w,
        "<p class=\"key\">Outline: a sprite<span style=\"background:#ff3000\"></span>"
        "overlaps another<span style=\"background:#a020f0\"></span>reaches past its "
        "texture<span style=\"border:2px solid #e07000;border-radius:6px\"></span>zero "
        "size (a ring at its corner). Point at a sprite or tab to it for its fields.</p>\n");
    put_summary(&w, page);
    put_findings(&w, page);
    for (size_t g = 0; g < page.groups->size(); ++g) put_section(&w, page, g);
    put(&w, "<div id=\"info\"></div>\n");
    put(&w, kScript);
    put(&w, "</body>\n</html>\n");
    flush_page(&w);
}
