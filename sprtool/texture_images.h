// Texture images in a folder: `<texture>.png`, its name in either case.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// The PNG files of one folder, found by their names without regard to ASCII
// case. Where two names differ only in case, the one spelled as asked wins,
// then the first in byte order.
struct ImageFolder {
    std::string path;                               // as given
    std::map<std::string, std::string> by_lowered;  // "chars_01.png" -> "Chars_01.PNG"
};

// Lists the folder. Returns an empty string on success, otherwise the reason
// it could not be read.
std::string open_image_folder(const std::string& path, ImageFolder* folder);

// The path of the image of `texture` in the folder, or an empty string when
// there is none (also for an empty texture name).
std::string find_texture_image(const ImageFolder& folder, const std::string& texture);

// The largest image file read (the page embeds it whole).
constexpr uint64_t TEXTURE_IMAGE_MAX_SIZE = 256u << 20;

struct TextureImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::string bytes;  // the whole file, when asked for
};

// Reads the image at `path`: its size and, with keep_bytes, its bytes.
// Returns an empty string on success, otherwise why it could not be used.
std::string read_texture_image(const std::string& path, bool keep_bytes, TextureImage* image);
