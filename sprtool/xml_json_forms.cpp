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

bool sprite_from_xml(const tinyxml2::XMLElement& element, SpriteEntry* entry, RowNotes* notes) {
    // One pass over the attributes instead of a lookup per field: tables hold
    // hundreds of thousands of sprites. The parser refuses an element with a
    // repeated attribute, so each name is met at most once.
    static const char* const names[7] = {"name", "texture", "u", "v", "width", "height", "flags"};
    if (notes) {
        notes->skipped.clear();
        notes->changed.clear();
    }
    const tinyxml2::XMLAttribute* found[7] = {};
    for (const tinyxml2::XMLAttribute* a = element.FirstAttribute(); a; a = a->Next()) {
        int i = 0;
        while (i < 7 && std::strcmp(a->Name(), names[i]) != 0) ++i;
        if (i < 7) {
            found[i] = a;
        } else if (notes) {
            notes->changed.push_back(
                {NOTE_ATTRIBUTE, "attribute " + quote_text(a->Name(), std::strlen(a->Name())) +
                                     " is none of name, texture, u, v, width, height and "
                                     "flags, ignored"});
        }
    }
    if (!found[0] || !found[1]) {
        if (notes) notes->skipped = "sprite without name or texture";
        return false;
    }
    *entry = empty_sprite();
    store_sprite_text(entry->name, SPRITE_NAME_SIZE, "name", found[0]->Value(), notes);
    store_sprite_text(entry->texture, SPRITE_TEXTURE_SIZE, "texture", found[1]->Value(), notes);
    uint16_t* numbers[4] = {&entry->u, &entry->v, &entry->width, &entry->height};
    for (int i = 2; i < 7; ++i) {
        if (!found[i]) continue;
        uint32_t value;
        const std::string note =
            convert_number(names[i], found[i]->Value(), i < 6 ? 0xFFFFu : 0xFFFFFFFFu, &value);
        if (i < 6) {
            *numbers[i - 2] = static_cast<uint16_t>(value);
        } else {
            entry->flags = value;
        }
        if (notes && !note.empty()) notes->changed.push_back({NOTE_NUMBER, note});
    }
    return true;
}

namespace {

// An element inside the table that gives no record and reads no file.
void warn_element(const std::string& path, const tinyxml2::XMLElement& el, const char* why,
                  ReadReport* report) {
    warn_line(path, el.GetLineNum(),
              "element <" + std::string(el.Name()).substr(0, 32) + "> " + why + ", skipped");
    ++report->noted[NOTE_ELEMENT];
}

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
    RowNotes notes;
    for (const tinyxml2::XMLElement* el = root->FirstChildElement(); el;
         el = el->NextSiblingElement()) {
        if (std::strcmp(el->Name(), "include") == 0) {
            const tinyxml2::XMLAttribute* file = el->FindAttribute("file");
            if (file) {
                read_include(stb, file->Value(), "rb", path, el->GetLineNum(), depth, report,
                             read_xml_nested);
            } else {
                warn_element(path, *el, "has no file attribute", report);
            }
        } else if (std::strcmp(el->Name(), "sprite") == 0) {
            SpriteEntry e;
            if (sprite_from_xml(*el, &e, &notes)) append_sprite(stb, e);
            report_row_notes(path, el->GetLineNum(), notes, "sprite", report);
        } else {
            warn_element(path, *el, "is neither sprite nor include", report);
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
