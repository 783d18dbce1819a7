// PNG images for the tests: made in memory, written as files, and read back
// (the browser's screenshots) as plain RGB pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Rgb { uint8_t r, g, b; };

struct Pixels {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes per pixel, rows top to bottom
};

Pixels solid_pixels(int width, int height, Rgb colour);
void fill_pixels(Pixels* image, int x, int y, int width, int height, Rgb colour);
Rgb pixel_at(const Pixels& image, int x, int y);
std::string png_file_bytes(const Pixels& image);
Pixels read_png_file(const std::string& path);  // alpha dropped; 0 x 0 when unreadable
