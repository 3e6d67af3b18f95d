// PNG files from and to pixel buffers (8-bit BGRA, premultiplied alpha).
//
// Writing un-premultiplies into 8-bit RGBA (a fully transparent pixel is written as all zero).
// Reading accepts every PNG colour type and bit depth (palette, grey, grey with alpha, RGB, RGBA,
// 1 to 16 bits, transparency chunks, interlacing) and gives BGRA premultiplied; colour values are
// taken as they are stored (no gamma or colour-space conversion).
//
// Every failure (empty or inconsistent buffer, unwritable path, truncated or corrupt data, an image
// larger than 16384 pixels on a side) returns false or nothing with a message in *error (when given).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pixel_buffer.h"

namespace corvane {

std::optional<std::vector<uint8_t>> encodePNG(const PixelBuffer& buffer, std::string* error);
bool writePNG(const PixelBuffer& buffer, const std::string& path, std::string* error);

std::optional<PixelBuffer> decodePNG(const uint8_t* data, size_t size, std::string* error);
std::optional<PixelBuffer> readPNG(const std::string& path, std::string* error);

}  // namespace corvane
