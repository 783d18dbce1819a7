// The JSON reader on any bytes. What it accepts must survive the writer and the reader
// again: the same records, bytes behind a name's or texture's first zero aside, and no
// message the second time.
#include <cstring>

#include "fuzz_support.h"
#include "json_reader.h"
#include "xml_json_forms.h"

// The whole of a stream, read from its start.
static std::string contents(FILE* f) {
    std::string out;
    std::rewind(f);
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    return out;
}

// A table as the text forms see it: each name and texture cut at its first zero byte.
static std::string cut_at_zero(std::string table) {
    for (size_t at = 0; at + SPRITE_ENTRY_SIZE <= table.size(); at += SPRITE_ENTRY_SIZE) {
        for (size_t field : {size_t(0), SPRITE_NAME_SIZE}) {
            size_t size = field == 0 ? SPRITE_NAME_SIZE : SPRITE_TEXTURE_SIZE;
            size_t zero = table.find('\0', at + field);
            if (zero < at + field + size) table.replace(zero, at + field + size - zero,
                                                        at + field + size - zero, '\0');
        }
    }
    return table;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_scratch_dir() + "/input.json";
    fuzz_write_file(path, data, size);
    FILE* in = fopen(path.c_str(), "rb");
    FILE* stb = tmpfile();
    FILE* text = tmpfile();
    FILE* again = tmpfile();
    if (!in || !stb || !text || !again) fuzz_fail("cannot open the reader's streams");
    ReadReport report;
    read_json(stb, in, path, &report);
    const std::string table = contents(stb);
    if (table.size() % SPRITE_ENTRY_SIZE != 0) fuzz_fail("a record was written in part");
    if (report.failed_files == 0) {
        std::rewind(stb);
        write_json(text, stb);
        std::rewind(text);
        ReadReport second;
        read_json(again, text, "written.json", &second);
        if (second.failed_files != 0 || second.skipped != 0)
            fuzz_fail("the writer's JSON of an accepted table was refused");
        if (contents(again) != cut_at_zero(table)) fuzz_fail("a round trip changed the table");
    }
    fclose(in);
    fclose(stb);
    fclose(text);
    fclose(again);
    return 0;
}
