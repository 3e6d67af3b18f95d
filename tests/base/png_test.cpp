#include "base/png.h"

#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>
#include <zlib.h>

#include <csetjmp>
#include <filesystem>
#include <fstream>

namespace corvane {
namespace {

using Bytes = std::vector<uint8_t>;

std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("corvane-png-" + std::to_string(getpid()) + "-" + name)).string();
}

// A PNG of any layout, written with libpng's full interface: every colour type, bit depth,
// transparency chunk and interlacing.
struct Layout {
  int width, height, colorType, bitDepth;
  bool interlaced;
  std::vector<Bytes> rows;  // packed as stored
  std::vector<png_color> palette = {};
  Bytes paletteAlpha = {};
  const png_color_16* transparentColor = nullptr;
};

bool writeLayout(png_structp png, png_infop info, const Layout* l, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, png_uint_32(l->width), png_uint_32(l->height), l->bitDepth, l->colorType,
               l->interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, 0, 0);
  if (!l->palette.empty()) png_set_PLTE(png, info, l->palette.data(), int(l->palette.size()));
  if (!l->paletteAlpha.empty()) png_set_tRNS(png, info, l->paletteAlpha.data(), int(l->paletteAlpha.size()), nullptr);
  if (l->transparentColor) png_set_tRNS(png, info, nullptr, 0, l->transparentColor);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

Bytes encodeLayout(Layout layout) {
  Bytes out;
  std::vector<png_bytep> rows;
  for (auto& row : layout.rows) rows.push_back(row.data());
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, [](png_structp p, png_bytep data, size_t n) {
    static_cast<Bytes*>(png_get_io_ptr(p))->insert(static_cast<Bytes*>(png_get_io_ptr(p))->end(), data, data + n);
  }, nullptr);
  EXPECT_TRUE(writeLayout(png, info, &layout, rows.data()));
  png_destroy_write_struct(&png, &info);
  return out;
}

TEST(PNG, EveryPremultipliedPixelSurvivesARoundTrip) {
  PixelBuffer image(256, 256);  // every alpha (rows), colour values spread over 0...alpha (columns)
  for (int a = 0; a < 256; ++a) {
    for (int x = 0; x < 256; ++x) {
      uint8_t* p = image.pixel(x, a);
      p[0] = uint8_t(x * a / 255);
      p[1] = uint8_t((255 - x) * a / 255);
      p[2] = uint8_t(std::min(x, a));
      p[3] = uint8_t(a);
    }
  }
  std::string path = tempPath("roundtrip.png"), error;
  ASSERT_TRUE(writePNG(image, path, &error)) << error;
  auto back = readPNG(path, &error);
  std::filesystem::remove(path);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->width, 256);
  EXPECT_EQ(back->bytesPerRow, 256u * 4);
  EXPECT_EQ(back->bytes, image.bytes);
}

TEST(PNG, StoresStraightRGBA) {
  PixelBuffer image(4, 1);
  image.bytesPerRow = 4 * 4 + 8;  // padded rows, as window-server images often have
  image.bytes.assign(image.bytesPerRow, 0xEE);
  const uint8_t pixels[4][4] = {
      {64, 32, 16, 128},  // half transparent
      {10, 20, 30, 0},    // fully transparent: its colour means nothing and is stored as zero
      {2, 0, 1, 3},
      {200, 0, 0, 100},   // colour above its alpha (not valid premultiplied): clamped
  };
  for (int i = 0; i < 4; ++i) std::copy(pixels[i], pixels[i] + 4, image.pixel(i, 0));
  auto encoded = encodePNG(image, nullptr);
  ASSERT_TRUE(encoded);
  // Read back with libpng's own simplified reader, as straight 8-bit RGBA.
  png_image raw{};
  raw.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_memory(&raw, encoded->data(), encoded->size()));
  raw.format = PNG_FORMAT_RGBA;
  Bytes rgba(PNG_IMAGE_SIZE(raw));
  ASSERT_TRUE(png_image_finish_read(&raw, nullptr, rgba.data(), 0, nullptr));
  EXPECT_EQ(rgba, (Bytes{32, 64, 128, 128, 0, 0, 0, 0, 85, 0, 170, 3, 0, 0, 255, 100}));
}

TEST(PNG, ReadsOtherLayoutsAsPremultipliedBGRA) {
  const png_color_16 gray50{0, 0, 0, 0, 0x3232};
  std::vector<std::pair<Layout, Bytes>> cases = {
      // 1-bit grey: black, white, white, black.
      {{4, 1, PNG_COLOR_TYPE_GRAY, 1, false, {{0b01100000}}},
       {0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 0, 255}},
      // 16-bit grey with a transparent value, scaled to 8 bits.
      {{2, 1, PNG_COLOR_TYPE_GRAY, 16, false, {{0x32, 0x32, 0x80, 0x80}}, {}, {}, &gray50},
       {0, 0, 0, 0, 128, 128, 128, 255}},
      {{1, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, {{200, 51}}}, {40, 40, 40, 51}},
      // 2-bit palette whose second entry is half transparent and third has no alpha (opaque).
      {{3, 1, PNG_COLOR_TYPE_PALETTE, 2, false, {{0b00011000}}, {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}, {255, 128}},
       {0, 0, 255, 255, 0, 128, 0, 128, 255, 0, 0, 255}},
      {{2, 2, PNG_COLOR_TYPE_RGB, 8, true, {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}}}, {3, 2, 1, 255, 6, 5, 4, 255}},
  };
  for (const auto& [layout, firstRow] : cases) {
    Bytes bytes = encodeLayout(layout);
    std::string error;
    auto image = decodePNG(bytes.data(), bytes.size(), &error);
    ASSERT_TRUE(image) << "colour type " << layout.colorType << ": " << error;
    EXPECT_EQ(image->width, layout.width);
    EXPECT_EQ(Bytes(image->pixel(0, 0), image->pixel(0, 0) + layout.width * 4), firstRow)
        << "colour type " << layout.colorType << ", depth " << layout.bitDepth;
    if (layout.interlaced) {
      EXPECT_EQ(Bytes(image->pixel(1, 1), image->pixel(1, 1) + 4), (Bytes{12, 11, 10, 255}));
    }
  }
}

TEST(PNG, DamagedDataFailsCleanly) {
  PixelBuffer image(64, 64);
  for (size_t i = 0; i < image.bytes.size(); ++i) image.bytes[i] = (i % 4 == 3) ? 255 : uint8_t(i * 7919 % 251);
  Bytes good = *encodePNG(image, nullptr);
  auto fails = [](const Bytes& bytes) {
    std::string message;
    return !decodePNG(bytes.data(), bytes.size(), &message) && !message.empty();
  };
  for (size_t cut : {size_t(0), size_t(7), size_t(20), size_t(40), good.size() / 2, good.size() - 12}) {
    EXPECT_TRUE(fails(Bytes(good.begin(), good.begin() + long(cut)))) << "truncated to " << cut;
  }
  Bytes flipped = good;
  flipped[good.size() / 2] ^= 0x55;
  EXPECT_TRUE(fails(flipped));
  EXPECT_TRUE(fails(Bytes(100, 'x')));
  // A header claiming 100000 pixels across (checksum intact) is refused before any allocation.
  Bytes huge = good;
  huge[17] = 0x01, huge[18] = 0x86, huge[19] = 0xA0;
  uint32_t crc = uint32_t(crc32(0, huge.data() + 12, 17));
  for (int i = 0; i < 4; ++i) huge[29 + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
  EXPECT_TRUE(fails(huge));

  std::string path = tempPath("truncated.png"), error;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(good.data()), long(good.size() / 3));
  EXPECT_FALSE(readPNG(path, &error));
  EXPECT_NE(error.find(path), std::string::npos);
  std::filesystem::remove(path);
  EXPECT_FALSE(readPNG(path, nullptr));
}

TEST(PNG, RejectsEmptyOrInconsistentBuffersAndUnwritablePaths) {
  std::string path = tempPath("empty.png"), error;
  EXPECT_FALSE(writePNG(PixelBuffer(0, 10), path, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(encodePNG(PixelBuffer(-3, 5), nullptr));
  PixelBuffer shortBuffer(10, 10);
  shortBuffer.bytes.pop_back();
  EXPECT_FALSE(encodePNG(shortBuffer, nullptr));
  PixelBuffer narrowRows(10, 10);
  narrowRows.bytesPerRow = 39;
  EXPECT_FALSE(encodePNG(narrowRows, nullptr));
  EXPECT_FALSE(writePNG(PixelBuffer(2, 2), "/nonexistent-dir/corvane/out.png", &error));
  EXPECT_NE(error.find("/nonexistent-dir/corvane/out.png"), std::string::npos);
}

}  // namespace
}  // namespace corvane
