// The TXT, CSV and XML readers of sprite tables (the first byte modulo 3
// picks one) on the rest of the input, written to a file in the scratch
// directory, also the current one, so that includes can name it. Inputs whose
// includes could leave the directory are refused. The output must hold whole
// 52-byte records only.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fuzz_support.h"
#include "text_forms.h"
#include "xml_json_forms.h"

// An include leaves only through a '/'. TXT has no escapes; in XML, '/' also
// belongs to "</" and "/>" (no include name can begin or end there so as to
// leave), and a character reference could spell it.
static bool may_leave(const uint8_t* d, size_t n, bool xml) {
    for (size_t i = 0; i < n; ++i) {
        if (xml && d[i] == '&' && i + 1 < n && d[i + 1] == '#') return true;
        if (d[i] == '/' && !(xml && ((i > 0 && d[i - 1] == '<') || (i + 1 < n && d[i + 1] == '>'))))
            return true;
    }
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string& dir = fuzz_scratch_dir();
    if (chdir(dir.c_str()) != 0) fuzz_fail("cannot enter the scratch directory");
    const int form = size == 0 ? 0 : data[0] % 3;
    if (size == 0 || may_leave(data + 1, size - 1, form == 2)) return -1;
    const char* name = form == 0 ? "input.txt" : form == 1 ? "input.csv" : "input.xml";
    fuzz_write_file(dir + "/" + name, data + 1, size - 1);
    FILE* in = fopen(name, form == 2 ? "rb" : "r");
    FILE* stb = tmpfile();  // no include can name it and read what is being written
    if (!in || !stb) fuzz_fail("cannot open the reader's streams");
    form == 0 ? read_txt(stb, in) : form == 1 ? read_csv(stb, in) : read_xml(stb, in);
    const long written = ftell(stb);
    fclose(in);
    if (fclose(stb) != 0 || written < 0 || written % 52 != 0)
        fuzz_fail("the STB output holds a partial record");
    return 0;
}
