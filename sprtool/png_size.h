// The size of a PNG image, read from its header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reads the width and height from the PNG file held in `data` (its first
// bytes are enough: the signature and the header chunk). Returns an empty
// string on success, otherwise the reason the bytes are no PNG image.
std::string png_size(const unsigned char* data, size_t size, uint32_t* width, uint32_t* height);
