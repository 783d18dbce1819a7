#include "file_names.h"

#include <cctype>
#include <cstring>

#include "platform.h"

bool has_suffix(const char* name, const char* suffix) {
    const size_t n = std::strlen(name), m = std::strlen(suffix);
    if (n < m) return false;
    for (size_t i = 0; i < m; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[n - m + i])) != suffix[i]) return false;
    }
    return true;
}

bool same_file(const char* a, const char* b) {
    PlatFileId ia, ib;
    return plat_path_id(a, 1, &ia) && plat_path_id(b, 1, &ib) && plat_same_file(ia, ib);
}
