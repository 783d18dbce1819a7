// The TXT, CSV and XML sprite table readers (the first byte modulo 3 picks one) on the rest
// of the input, written into the scratch directory, also the current one, so that includes
// can name it. Inputs whose includes could leave the directory are refused.
#include <unistd.h>

#include "fuzz_support.h"
#include "text_forms.h"
#include "xml_json_forms.h"

// An include leaves only through a '/'. TXT has no escapes; in XML, '/' also belongs to "</"
// and "/>" (no include name can begin or end there so as to leave), and "&#" could spell it.
static bool may_leave(const std::string& text, bool xml) {
    if (xml && text.find("&#") != std::string::npos) return true;
    for (size_t i = text.find('/'); i != std::string::npos; i = text.find('/', i + 1))
        if (!xml || !((i > 0 && text[i - 1] == '<') || text[i + 1] == '>')) return true;
    return false;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (chdir(fuzz_scratch_dir().c_str()) != 0) fuzz_fail("cannot enter the scratch directory");
    if (size == 0) return -1;
    const int form = data[0] % 3;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (may_leave(text, form == 2)) return -1;
    const char* name = form == 0 ? "input.txt" : form == 1 ? "input.csv" : "input.xml";
    fuzz_write_file(name, text.data(), text.size());
    FILE* in = fopen(name, "rb");
    FILE* stb = tmpfile();  // no include can name it and read what is being written
    if (!in || !stb) fuzz_fail("cannot open the reader's streams");
    ReadReport report;
    if (form == 0) read_txt(stb, in, name, &report);
    if (form == 1) read_csv(stb, in, name, &report);
    if (form == 2) read_xml(stb, in, name, &report);
    fclose(in);
    fclose(stb);
    return 0;
}
