#include "sprite_reader_fuzz.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <tinyxml2.h>

#include "fuzz_support.h"
#include "text_forms.h"
#include "xml_json_forms.h"

namespace {

// Sources the inputs may include: a plain one and one that includes itself,
// in both text forms.
void place_include_files(const std::string& dir) {
    fuzz_write_file(dir + "/inc.txt", "\"inc\" tex 1 2 3 4 0x5\n");
    fuzz_write_file(dir + "/self.txt", "\"self\" tex 1 2 3 4 0x5\n@include \"self.txt\"\n");
    fuzz_write_file(dir + "/inc.xml",
                    "<spritetable><sprite name=\"inc\" texture=\"t\" u=\"1\"/></spritetable>\n");
    fuzz_write_file(dir + "/self.xml",
                    "<spritetable><sprite name=\"self\" texture=\"t\"/>"
                    "<include file=\"self.xml\"/></spritetable>\n");
}

const std::string& scratch_as_cwd() {
    static std::string dir;
    if (dir.empty()) {
        dir = fuzz_scratch_dir();
        place_include_files(dir);
        if (chdir(dir.c_str()) != 0) fuzz_fail("cannot enter the scratch directory");
        fuzz_silence_stdout();
    }
    return dir;
}

// True when some include element of the document names a path with a
// directory in it. The check parses as the reader does, so entity
// references in the name are decoded alike.
bool xml_include_leaves(const uint8_t* data, size_t size) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(reinterpret_cast<const char*>(data), size) != tinyxml2::XML_SUCCESS) return false;
    const tinyxml2::XMLElement* root = doc.FirstChildElement("spritetable");
    if (!root) return false;
    for (const tinyxml2::XMLElement* el = root->FirstChildElement(); el;
         el = el->NextSiblingElement()) {
        const char* file = el->Attribute("file");
        if (strcmp(el->Name(), "include") == 0 && file && strchr(file, '/')) return true;
    }
    return false;
}

}  // namespace

int run_sprite_reader(SpriteForm form, const uint8_t* data, size_t size) {
    const std::string& dir = scratch_as_cwd();
    // An include name can only leave the directory through a '/'; TXT has no
    // escapes, and XML's are decoded by the check.
    if (form == SPRITE_FORM_TXT && memchr(data, '/', size)) return -1;
    if (form == SPRITE_FORM_XML && xml_include_leaves(data, size)) return -1;

    const char* input_name = form == SPRITE_FORM_TXT   ? "input.txt"
                             : form == SPRITE_FORM_CSV ? "input.csv"
                                                       : "input.xml";
    fuzz_write_file(dir + "/" + input_name, data, size);
    FILE* in = fopen(input_name, form == SPRITE_FORM_XML ? "rb" : "r");
    // An anonymous output, so that no include can name it and read what it
    // is writing.
    FILE* stb = tmpfile();
    if (!in || !stb) fuzz_fail("cannot open the reader's streams");
    switch (form) {
    case SPRITE_FORM_TXT: read_txt(stb, in); break;
    case SPRITE_FORM_CSV: read_csv(stb, in); break;
    case SPRITE_FORM_XML: read_xml(stb, in); break;
    }
    long written = ftell(stb);
    fclose(in);
    if (fclose(stb) != 0) fuzz_fail("cannot write the STB output");
    if (written < 0 || written % 52 != 0) fuzz_fail("the STB output holds a partial record");
    return 0;
}
