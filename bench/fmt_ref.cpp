// fmt_ref: the lower bound for converting sprite tables. A plain stdio loop
// that formats (or scans) the same fields with the same format strings as the
// sprite tool, without includes, element trees or anything else. Its output
// is the same as the tool's for tables that round-trip.
//
// Usage: fmt_ref rt|rc|rx|rj <stb_in> <text_out>
//        fmt_ref wt|wc|wx <stb_out> <text_in>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t RECORD_SIZE = 52;

struct Sprite {
    char name[33];     // 32 bytes of the field and a terminator
    char texture[9];   // 8 bytes of the field and a terminator
    unsigned u, v, width, height;
    uint32_t flags;
};

unsigned get16(const unsigned char* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
uint32_t get32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put16(unsigned char* p, unsigned v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

bool read_sprite(FILE* in, Sprite* s) {
    unsigned char rec[RECORD_SIZE];
    if (std::fread(rec, 1, RECORD_SIZE, in) != RECORD_SIZE) return false;
    std::memcpy(s->name, rec, 32);
    s->name[32] = 0;
    std::memcpy(s->texture, rec + 32, 8);
    s->texture[8] = 0;
    s->u = get16(rec + 40);
    s->v = get16(rec + 42);
    s->width = get16(rec + 44);
    s->height = get16(rec + 46);
    s->flags = get32(rec + 48);
    return true;
}

void write_sprite(FILE* out, const Sprite& s) {
    unsigned char rec[RECORD_SIZE] = {0};
    std::memcpy(rec, s.name, strnlen(s.name, 32));
    std::memcpy(rec + 32, s.texture, strnlen(s.texture, 8));
    put16(rec + 40, s.u);
    put16(rec + 42, s.v);
    put16(rec + 44, s.width);
    put16(rec + 46, s.height);
    put32(rec + 48, s.flags);
    std::fwrite(rec, 1, RECORD_SIZE, out);
}

void write_text(char form, FILE* stb, FILE* out) {
    Sprite s;
    if (form == 't')
        std::fputs("# NAME............................ TEXTURE. U.... V.... W.... H.... "
                   "FLAGS.....\n", out);
    if (form == 'x')
        std::fputs("<?xml version=\"1.0\" standalone=\"no\"?>\n<spritetable>\n", out);
    if (form == 'j') std::fputs("[\n", out);
    const char* sep = "";
    while (read_sprite(stb, &s)) {
        if (form == 't') {
            char quoted[40];
            std::snprintf(quoted, sizeof quoted, "\"%.32s\"", s.name);
            std::fprintf(out, "%-34.34s %-8.8s %5d %5d %5d %5d 0x%08x\n", quoted, s.texture,
                         s.u, s.v, s.width, s.height, s.flags);
        } else if (form == 'c') {
            std::fprintf(out, "%.32s,%.8s,%d,%d,%d,%d,0x%08x\n", s.name, s.texture, s.u, s.v,
                         s.width, s.height, s.flags);
        } else if (form == 'x') {
            std::fprintf(out,
                         "\t<sprite name=\"%.32s\" texture=\"%.8s\" u=\"%d\" v=\"%d\" "
                         "width=\"%d\" height=\"%d\" flags=\"0x%08x\"/>\n",
                         s.name, s.texture, s.u, s.v, s.width, s.height, s.flags);
        } else {
            std::fprintf(out,
                         "%s\t{\n\t\t\"name\": \"%.32s\",\n\t\t\"texture\": \"%.8s\",\n"
                         "\t\t\"u\": %d,\n\t\t\"v\": %d,\n\t\t\"width\": %d,\n"
                         "\t\t\"height\": %d,\n\t\t\"flags\": \"0x%08x\"\n\t}",
                         sep, s.name, s.texture, s.u, s.v, s.width, s.height, s.flags);
            sep = ",\n";
        }
    }
    if (form == 'x') std::fputs("</spritetable>\n", out);
    if (form == 'j') std::fputs("\n]\n", out);
}

bool scan_txt(const char* line, Sprite* s) {
    if (line[0] == '#' || line[0] == 0) return false;
    char file[33] = {0};
    if (std::sscanf(line, "@include \"%32[^\"]\"", file) != 0) return false;
    int u, v, w, h;
    unsigned flags;
    if (std::sscanf(line, "\"%32[^\"]\" %8s %d %d %d %d 0x%8x", s->name, s->texture, &u, &v,
                    &w, &h, &flags) != 7)
        return false;
    s->u = unsigned(u) & 0xFFFF;
    s->v = unsigned(v) & 0xFFFF;
    s->width = unsigned(w) & 0xFFFF;
    s->height = unsigned(h) & 0xFFFF;
    s->flags = flags;
    return true;
}

bool scan_csv(char* line, Sprite* s) {
    char* fields[7] = {nullptr};
    int count = 0;
    char* p = line;
    while (*p != 0 && count < 7) {
        while (*p == ',' || *p == ';' || *p == '\t') ++p;
        if (*p == 0) break;
        fields[count++] = p;
        while (*p != 0 && *p != ',' && *p != ';' && *p != '\t') ++p;
        if (*p != 0) *p++ = 0;
    }
    if (count < 2) return false;
    std::snprintf(s->name, sizeof s->name, "%.32s", fields[0]);
    std::snprintf(s->texture, sizeof s->texture, "%.8s", fields[1]);
    unsigned* numbers[4] = {&s->u, &s->v, &s->width, &s->height};
    for (int i = 0; i < 4; ++i)
        *numbers[i] = i + 2 < count ? unsigned(std::strtoul(fields[i + 2], nullptr, 0)) & 0xFFFF
                                    : 0;
    s->flags = count > 6 ? uint32_t(std::strtoul(fields[6], nullptr, 0)) : 0;
    return true;
}

bool scan_xml(const char* line, Sprite* s) {
    char num[5][16];
    if (std::sscanf(line,
                    " <sprite name=\"%32[^\"]\" texture=\"%8[^\"]\" u=\"%15[^\"]\" "
                    "v=\"%15[^\"]\" width=\"%15[^\"]\" height=\"%15[^\"]\" flags=\"%15[^\"]\"",
                    s->name, s->texture, num[0], num[1], num[2], num[3], num[4]) != 7)
        return false;
    unsigned* numbers[4] = {&s->u, &s->v, &s->width, &s->height};
    for (int i = 0; i < 4; ++i) *numbers[i] = unsigned(std::strtoul(num[i], nullptr, 0)) & 0xFFFF;
    s->flags = uint32_t(std::strtoul(num[4], nullptr, 0));
    return true;
}

void read_text(char form, FILE* in, FILE* stb) {
    char line[1024];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        Sprite s;
        std::memset(&s, 0, sizeof s);
        bool ok = form == 't' ? scan_txt(line, &s) : form == 'c' ? scan_csv(line, &s)
                                                                 : scan_xml(line, &s);
        if (ok) write_sprite(stb, s);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strlen(argv[1]) != 2 || std::strchr("rw", argv[1][0]) == nullptr ||
        std::strchr(argv[1][0] == 'r' ? "tcxj" : "tcx", argv[1][1]) == nullptr) {
        std::fprintf(stderr, "Usage: %s rt|rc|rx|rj|wt|wc|wx <stb_file> <text_file>\n", argv[0]);
        return 1;
    }
    const bool reading_stb = argv[1][0] == 'r';
    FILE* stb = std::fopen(argv[2], reading_stb ? "rb" : "wb");
    FILE* text = std::fopen(argv[3], reading_stb ? "w" : (argv[1][1] == 'x' ? "rb" : "r"));
    if (stb == nullptr || text == nullptr) {
        std::fprintf(stderr, "ERROR: cannot open %s or %s\n", argv[2], argv[3]);
        if (stb) std::fclose(stb);
        if (text) std::fclose(text);
        return 1;
    }
    if (reading_stb)
        write_text(argv[1][1], stb, text);
    else
        read_text(argv[1][1], text, stb);
    std::fclose(text);
    std::fclose(stb);
    return 0;
}
