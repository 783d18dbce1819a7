#include "png_image.h"

#include "test_support.h"

// The encoder's and decoder's functions stay private to this file.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STBI_WRITE_NO_STDIO
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

Pixels solid_pixels(int width, int height, Rgb colour) {
    Pixels image{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 3)};
    fill_pixels(&image, 0, 0, width, height, colour);
    return image;
}

void fill_pixels(Pixels* image, int x, int y, int width, int height, Rgb colour) {
    for (int row = y; row < y + height; ++row) {
        for (int col = x; col < x + width; ++col) {
            uint8_t* p = &image->rgb[(size_t(row) * size_t(image->width) + size_t(col)) * 3];
            p[0] = colour.r, p[1] = colour.g, p[2] = colour.b;
        }
    }
}

Rgb pixel_at(const Pixels& image, int x, int y) {
    const uint8_t* p = &image.rgb[(size_t(y) * size_t(image.width) + size_t(x)) * 3];
    return {p[0], p[1], p[2]};
}

std::string png_file_bytes(const Pixels& image) {
    std::string out;
    auto append = [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), size_t(size));
    };
    stbi_write_png_to_func(append, &out, image.width, image.height, 3, image.rgb.data(),
                           image.width * 3);
    return out;
}

Pixels read_png_file(const std::string& path) {
    const std::string bytes = read_file(path);
    Pixels image;
    int channels = 0;
    stbi_uc* data = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                                          int(bytes.size()), &image.width, &image.height,
                                          &channels, 3);
    if (!data) return {};
    image.rgb.assign(data, data + size_t(image.width) * size_t(image.height) * 3);
    stbi_image_free(data);
    return image;
}
