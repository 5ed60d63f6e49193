#include "text/qr_png.h"

#include <png.h>
#include <qrencode.h>

#include <memory>
#include <vector>

namespace {

constexpr int quietModules = 4;
constexpr std::size_t pixelsPerModule = 8;

struct QrFree {
  void operator()(QRcode* code) const { QRcode_free(code); }
};

}  // namespace

std::string qrPng(const std::string& text) {
  std::unique_ptr<QRcode, QrFree> code(QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_M));
  if (!code) return "";
  const int modules = code->width + 2 * quietModules;
  const int side = modules * static_cast<int>(pixelsPerModule);
  std::vector<unsigned char> pixels(static_cast<std::size_t>(side) * static_cast<std::size_t>(side), 255);
  for (int y = 0; y < code->width; ++y) {
    for (int x = 0; x < code->width; ++x) {
      // The low bit of each byte is the module's colour (1: black).
      if ((code->data[y * code->width + x] & 1) == 0) continue;
      const auto width = static_cast<std::size_t>(side);
      const auto left = static_cast<std::size_t>(x + quietModules) * pixelsPerModule;
      const auto top = static_cast<std::size_t>(y + quietModules) * pixelsPerModule;
      for (std::size_t dy = 0; dy < pixelsPerModule; ++dy) {
        for (std::size_t dx = 0; dx < pixelsPerModule; ++dx) pixels[(top + dy) * width + left + dx] = 0;
      }
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(side);
  image.height = static_cast<png_uint_32>(side);
  image.format = PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  if (png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr) == 0) return "";
  std::string png(size, '\0');
  if (png_image_write_to_memory(&image, png.data(), &size, 0, pixels.data(), 0, nullptr) == 0) return "";
  png.resize(size);
  return png;
}
