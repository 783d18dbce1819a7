#include "names.h"

#include <cstring>

#include "platform.h"
#include "qar/qar.h"

char display_char(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (u < 0x20 || u == 0x7F) ? '?' : c;
}

std::string display_text(const char* text, size_t max_length) {
    std::string shown;
    for (size_t i = 0; i < max_length && text[i] != '\0'; ++i) shown += display_char(text[i]);
    return shown;
}

int is_plain_file_name(const char* name) {
    if (name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return 0;
    for (const char* p = name; *p != '\0'; ++p) {
        unsigned char u = static_cast<unsigned char>(*p);
        if (u < 0x20 || u == '/' || u == '\\') return 0;
    }
    return plat_is_ordinary_name(name);
}

std::string record_key(const char* name) {
    std::string key;
    for (size_t i = 0; i < QAR_NAME_SIZE && name[i] != '\0'; ++i) {
        char c = name[i];
        key += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    return key;
}
