#include "xml_json_forms.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstring>

#include "text_scan.h"

namespace {

// Writes a name or texture field (up to its first zero byte, at most `size`
// bytes) as an XML attribute value.
void put_xml_text(FILE* out, const char* field, size_t size) {
    size_t n = sprite_text_length(field, size);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        switch (c) {
        case '&': std::fputs("&amp;", out); break;
        case '<': std::fputs("&lt;", out); break;
        case '>': std::fputs("&gt;", out); break;
        case '"': std::fputs("&quot;", out); break;
        default:
            if (c < 0x20) {
                std::fprintf(out, "&#x%02X;", c);
            } else {
                std::putc(c, out);
            }
        }
    }
}

// Writes a name or texture field as the contents of a JSON string.
void put_json_text(FILE* out, const char* field, size_t size) {
    size_t n = sprite_text_length(field, size);
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == '"' || c == '\\') {
            std::putc('\\', out);
            std::putc(c, out);
        } else if (c < 0x20 || c >= 0x80) {
            std::fprintf(out, "\\u%04X", c);
        } else {
            std::putc(c, out);
        }
    }
}

}  // namespace

void write_xml(FILE* out, FILE* stb) {
    std::fputs("<?xml version=\"1.0\" standalone=\"no\"?>\n", out);
    std::fputs("<spritetable>\n", out);
    SpriteEntry e;
    while (read_sprite(stb, &e)) {
        std::fputs("\t<sprite name=\"", out);
        put_xml_text(out, e.name, SPRITE_NAME_SIZE);
        std::fputs("\" texture=\"", out);
        put_xml_text(out, e.texture, SPRITE_TEXTURE_SIZE);
        std::fprintf(out, "\" u=\"%d\" v=\"%d\" width=\"%d\" height=\"%d\" flags=\"0x%08x\"/>\n",
                     e.u, e.v, e.width, e.height, static_cast<unsigned>(e.flags));
    }
    std::fputs("</spritetable>\n", out);
}

bool sprite_from_xml(const tinyxml2::XMLElement& element, SpriteEntry* entry) {
    // One pass over the attributes instead of a lookup per field: tables hold
    // hundreds of thousands of sprites. The parser refuses an element with a
    // repeated attribute, so each name is met at most once.
    static const char* const names[7] = {"name", "texture", "u", "v", "width", "height", "flags"};
    const tinyxml2::XMLAttribute* found[7] = {};
    for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a; a = a->Next()) {
        for (int i = 0; i < 7; ++i) {
            if (std::strcmp(a->Name(), names[i]) == 0) {
                found[i] = a;
                break;
            }
        }
    }
    if (!found[0] || !found[1]) return false;
    *entry = empty_sprite();
    set_sprite_text(entry->name, SPRITE_NAME_SIZE, found[0]->Value());
    set_sprite_text(entry->texture, SPRITE_TEXTURE_SIZE, found[1]->Value());
    uint16_t* numbers[4] = {&entry->u, &entry->v, &entry->width, &entry->height};
    for (int i = 0; i < 4; ++i) {
        if (found[2 + i]) *numbers[i] = static_cast<uint16_t>(strtoul32(found[2 + i]->Value()));
    }
    if (found[6]) entry->flags = strtoul32(found[6]->Value());
    return true;
}

namespace {

void read_xml_nested(FILE* stb, FILE* in, const std::string& path, int depth,
                     ReadReport* report) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(in) != tinyxml2::XML_SUCCESS) {
        // A read error is the caller's to report (finish_source): the
        // document is not at fault.
        if (std::ferror(in)) return;
        // An empty document has its error on no line at all; it is line 1 to the user.
        std::fprintf(stderr, "ERROR: %s line %d: not valid XML (%s)\n", source_label(path).c_str(),
                     std::max(doc.ErrorLineNum(), 1), doc.ErrorName());
        ++report->failed_files;
        return;
    }
    const tinyxml2::XMLElement* root = doc.FirstChildElement("spritetable");
    if (!root) {
        std::fprintf(stderr, "ERROR: %s: no spritetable element at the top\n",
                     source_label(path).c_str());
        ++report->failed_files;
        return;
    }
    for (const tinyxml2::XMLElement* el = root->FirstChildElement(); el;
         el = el->NextSiblingElement()) {
        if (std::strcmp(el->Name(), "include") == 0) {
            const tinyxml2::XMLAttribute* file = el->FindAttribute("file");
            if (file) {
                read_include(stb, file->Value(), "rb", path, depth, report, read_xml_nested);
            }
        } else if (std::strcmp(el->Name(), "sprite") == 0) {
            SpriteEntry e;
            if (sprite_from_xml(*el, &e)) {
                append_sprite(stb, e);
            } else {
                warn_line(path, el->GetLineNum(), "sprite without name or texture, sprite skipped");
                ++report->skipped;
            }
        }
    }
}

}  // namespace

void read_xml(FILE* stb, FILE* in, const std::string& path, ReadReport* report) {
    read_xml_nested(stb, in, path, 0, report);
}

void write_json(FILE* out, FILE* stb) {
    std::fputs("[\n", out);
    const char* separator = "";
    SpriteEntry e;
    while (read_sprite(stb, &e)) {
        std::fprintf(out, "%s\t{\n\t\t\"name\": \"", separator);
        put_json_text(out, e.name, SPRITE_NAME_SIZE);
        std::fputs("\",\n\t\t\"texture\": \"", out);
        put_json_text(out, e.texture, SPRITE_TEXTURE_SIZE);
        std::fprintf(out,
                     "\",\n\t\t\"u\": %d,\n\t\t\"v\": %d,\n\t\t\"width\": %d,\n\t\t\"height\": %d,"
                     "\n\t\t\"flags\": \"0x%08x\"\n\t}",
                     e.u, e.v, e.width, e.height, static_cast<unsigned>(e.flags));
        separator = ",\n";
    }
    std::fputs("\n]\n", out);
}
