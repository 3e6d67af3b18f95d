#include "base/png.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "base/files.h"

namespace corvane {

namespace {

// Largest width and height accepted when reading, so that a corrupt header cannot make us allocate
// gigabytes before the data runs out.
constexpr png_uint_32 kMaxSide = 16384;

// What libpng's callbacks work on. libpng reports errors with longjmp, which skips destructors, so
// everything it can jump over is plain data, and each function that calls setjmp holds nothing with
// a destructor: the C++ objects live in the callers of those functions.
struct Context {
  char message[200];
  const uint8_t* input;  // reading from memory
  size_t inputSize;
  size_t inputOffset;
  std::vector<uint8_t>* output;  // writing to memory
};

void setError(std::string* error, std::string message) {
  if (error) *error = std::move(message);
}

[[noreturn]] void onError(png_structp png, png_const_charp message) {
  auto* context = static_cast<Context*>(png_get_error_ptr(png));
  std::snprintf(context->message, sizeof context->message, "%s", message ? message : "unknown error");
  png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

void readBytes(png_structp png, png_bytep out, size_t length) {
  auto* context = static_cast<Context*>(png_get_io_ptr(png));
  if (length > context->inputSize - context->inputOffset) png_error(png, "data ends early (truncated file)");
  std::memcpy(out, context->input + context->inputOffset, length);
  context->inputOffset += length;
}

void writeBytes(png_structp png, png_bytep data, size_t length) {
  auto* context = static_cast<Context*>(png_get_io_ptr(png));
  bool failed = false;
  try {
    context->output->insert(context->output->end(), data, data + length);
  } catch (...) {
    failed = true;
  }
  if (failed) png_error(png, "out of memory");
}

void flushBytes(png_structp) {}

bool writeImage(png_structp png, png_infop info, png_bytepp rows, png_uint_32 width, png_uint_32 height) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

// Reads the header and asks libpng for 8-bit BGRA rows whatever the file holds.
bool readHeader(png_structp png, png_infop info, png_uint_32* width, png_uint_32* height) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  int colorType = png_get_color_type(png, info);
  int bitDepth = png_get_bit_depth(png, info);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (bitDepth == 16) png_set_scale_16(png);
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  // Opaque images get an alpha byte; with a tRNS chunk the alpha comes from the expansion above.
  if (!(colorType & PNG_COLOR_MASK_ALPHA)) png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *width = png_get_image_width(png, info);
  *height = png_get_image_height(png, info);
  if (png_get_rowbytes(png, info) != size_t(*width) * 4) png_error(png, "unsupported pixel layout");
  return true;
}

bool readImage(png_structp png, png_infop info, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  png_read_end(png, info);
  return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> encodePNG(const PixelBuffer& buffer, std::string* error) {
  if (buffer.isEmpty()) {
    setError(error, "cannot encode an empty image (" + std::to_string(buffer.width) + "x" +
                        std::to_string(buffer.height) + ")");
    return std::nullopt;
  }
  size_t width = size_t(buffer.width);
  size_t height = size_t(buffer.height);
  if (buffer.bytesPerRow < width * 4 || buffer.bytes.size() < buffer.bytesPerRow * (height - 1) + width * 4) {
    setError(error, "pixel buffer is smaller than its size says");
    return std::nullopt;
  }

  // Un-premultiply into RGBA rows: c' = round(c * 255 / a), clamped for values above their alpha.
  std::vector<uint8_t> rgba(width * height * 4);
  std::vector<png_bytep> rows(height);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* in = buffer.bytes.data() + y * buffer.bytesPerRow;
    uint8_t* out = rgba.data() + y * width * 4;
    rows[y] = out;
    for (size_t x = 0; x < width; ++x, in += 4, out += 4) {
      unsigned a = in[3];
      if (a == 0) {
        std::memset(out, 0, 4);
        continue;
      }
      auto unpremultiply = [a](unsigned c) { return uint8_t(std::min(255u, (c * 255 + a / 2) / a)); };
      out[0] = unpremultiply(in[2]);
      out[1] = unpremultiply(in[1]);
      out[2] = unpremultiply(in[0]);
      out[3] = uint8_t(a);
    }
  }

  std::vector<uint8_t> encoded;
  Context context{};
  context.output = &encoded;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &context, onError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    setError(error, "cannot start the PNG encoder");
    return std::nullopt;
  }
  png_set_write_fn(png, &context, writeBytes, flushBytes);
  bool ok = writeImage(png, info, rows.data(), png_uint_32(width), png_uint_32(height));
  png_destroy_write_struct(&png, &info);
  if (!ok) {
    setError(error, std::string("cannot encode PNG: ") + context.message);
    return std::nullopt;
  }
  return encoded;
}

bool writePNG(const PixelBuffer& buffer, const std::string& path, std::string* error) {
  auto encoded = encodePNG(buffer, error);
  return encoded && writeFileBytes(*encoded, path, error);
}

std::optional<PixelBuffer> decodePNG(const uint8_t* data, size_t size, std::string* error) {
  if (!data || size < 8 || png_sig_cmp(data, 0, 8) != 0) {
    setError(error, "not a PNG file");
    return std::nullopt;
  }
  Context context{};
  context.input = data;
  context.inputSize = size;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &context, onError, onWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    setError(error, "cannot start the PNG decoder");
    return std::nullopt;
  }
  png_set_read_fn(png, &context, readBytes);
  png_set_user_limits(png, kMaxSide, kMaxSide);

  std::optional<PixelBuffer> image;
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  if (readHeader(png, info, &width, &height)) {
    image.emplace(int(width), int(height));
    std::vector<png_bytep> rows(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image->pixel(0, int(y));
    if (!readImage(png, info, rows.data())) image.reset();
  }
  png_destroy_read_struct(&png, &info, nullptr);
  if (!image) {
    setError(error, std::string("corrupt PNG: ") + context.message);
    return std::nullopt;
  }

  // Premultiply: c' = round(c * a / 255).
  for (size_t i = 0; i + 3 < image->bytes.size(); i += 4) {
    uint8_t* p = image->bytes.data() + i;
    unsigned a = p[3];
    if (a == 255) continue;
    for (int c = 0; c < 3; ++c) p[c] = uint8_t((p[c] * a + 127) / 255);
  }
  return image;
}

std::optional<PixelBuffer> readPNG(const std::string& path, std::string* error) {
  auto data = readFileText(path, error);
  if (!data) return std::nullopt;
  std::string message;
  auto image = decodePNG(reinterpret_cast<const uint8_t*>(data->data()), data->size(), &message);
  if (!image) setError(error, message + " (" + path + ")");
  return image;
}

}  // namespace corvane
