#include "png_size.h"

#include <climits>

// The decoder's functions stay private to this file, and only its PNG part
// is built: nothing but the header is ever read here.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_NO_FAILURE_STRINGS
// The decoder's own code warns under this build's flags; those warnings are not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"  // the next is unknown to some compilers
#pragma GCC diagnostic ignored "-Wunknown-warning-option"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

std::string png_size(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height) {
    // The decoder takes an int length; the header lies within the first bytes.
    int length = size > size_t(INT_MAX) ? INT_MAX : int(size);
    int w = 0, h = 0, channels = 0;
    if (!stbi_info_from_memory(data, length, &w, &h, &channels) || w <= 0 || h <= 0) {
        return "it is no PNG image, or its header is damaged";
    }
    *width = uint32_t(w);
    *height = uint32_t(h);
    return "";
}
