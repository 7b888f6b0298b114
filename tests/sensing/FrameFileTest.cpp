#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "nuvlet/sensing/FrameFile.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

// A minimal PNG writer (stored deflate blocks), so the tests can make pictures of
// every colour type and depth without an image library.
std::uint32_t crc32(const std::string& bytes) {
  std::uint32_t crc = 0xffffffffu;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put32(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}

void chunk(std::string& png, const char* type, const std::string& data) {
  put32(png, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type) + data;
  png += body;
  put32(png, crc32(body));
}

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// `rows` are the raw scanlines without filter bytes.
std::string makePng(int width, int height, int depth, int colourType,
                    const std::vector<std::string>& rows, const std::string& palette = {}) {
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string ihdr;
  put32(ihdr, static_cast<std::uint32_t>(width));
  put32(ihdr, static_cast<std::uint32_t>(height));
  ihdr += static_cast<char>(depth);
  ihdr += static_cast<char>(colourType);
  ihdr += std::string(3, '\0');
  chunk(png, "IHDR", ihdr);
  if (!palette.empty()) chunk(png, "PLTE", palette);
  std::string raw;
  for (const auto& row : rows) raw += '\0' + row;
  // One stored block: the pictures here are tiny.
  const std::size_t n = raw.size();
  std::string z = "\x78\x01\x01";
  z += bytes({static_cast<int>(n & 0xff), static_cast<int>(n >> 8), static_cast<int>(~n & 0xff),
              static_cast<int>((~n >> 8) & 0xff)});
  z += raw;
  std::uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  put32(z, (b << 16) | a);
  chunk(png, "IDAT", z);
  chunk(png, "IEND", "");
  return png;
}

Rgb8 pixel(const Frame& f, int x, int y) {
  const std::uint8_t* p = f.view().row(y) + 4 * x;
  return {p[2], p[1], p[0]};
}

TEST(FrameFile, DecodesPngOfEveryColourTypeAndPpm) {
  struct Case {
    const char* name;
    std::string png;
    Rgb8 first, second;
  };
  const Case cases[] = {
      {"rgb 8", makePng(2, 1, 8, 2, {bytes({255, 0, 0, 1, 2, 3})}), {255, 0, 0}, {1, 2, 3}},
      {"rgb 16",
       makePng(2, 1, 16, 2, {bytes({255, 255, 0, 0, 0, 0, 0, 0, 128, 0, 0, 0})}),
       {255, 0, 0},
       {0, 128, 0}},
      {"grey 8", makePng(2, 1, 8, 0, {bytes({51, 204})}), {51, 51, 51}, {204, 204, 204}},
      {"grey 1", makePng(2, 1, 1, 0, {bytes({0x80})}), {255, 255, 255}, {0, 0, 0}},
      {"palette",
       makePng(2, 1, 8, 3, {bytes({1, 0})}, bytes({10, 20, 30, 40, 50, 60})),
       {40, 50, 60},
       {10, 20, 30}},
      // Opaque and half-covered: drawn over black.
      {"rgba",
       makePng(2, 1, 8, 6, {bytes({0, 0, 255, 255, 200, 100, 50, 0})}),
       {0, 0, 255},
       {0, 0, 0}},
      {"ppm with comment",
       "P6\n# a comment\n2 1\n255\n" + bytes({255, 0, 0, 7, 8, 9}),
       {255, 0, 0},
       {7, 8, 9}},
      {"ppm maxval 15", "P6 2 1 15 " + bytes({15, 0, 8, 0, 15, 0}), {255, 0, 136}, {0, 255, 0}},
      {"ppm 16 bit",
       "P6\n2 1\n65535\n" + bytes({255, 255, 0, 0, 128, 0, 0, 0, 0, 0, 0, 0}),
       {255, 0, 128},
       {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto frame = decodeFrame(c.png);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 2);
    EXPECT_EQ(frame->height(), 1);
    EXPECT_EQ(pixel(*frame, 0, 0), c.first);
    EXPECT_EQ(pixel(*frame, 1, 0), c.second);
  }
}

TEST(FrameFile, RefusesDamagedOrHostileInput) {
  const std::string good = makePng(2, 2, 8, 2, {std::string(6, 'a'), std::string(6, 'b')});
  const std::string cases[] = {
      "",
      "P6\n2 1\n255\n" + bytes({1, 2, 3}),                       // samples cut short
      "P6\n0 1\n255\n",                                          // no pixels
      "P6\n40000 1\n255\n" + std::string(120000, 'x'),           // wider than any screen
      "P6\n99999999999 1\n255\n",                                // absurd number
      "P6\n1 1\n0\n" + bytes({1, 2, 3}),                         // maxval 0
      "P6\n1 1\n255" + bytes({1, 2, 3}),                         // no separator
      "P5\n1 1\n255\n" + bytes({1}),                             // grey map: not taken
      good.substr(0, good.size() / 2),                           // truncated PNG
      good.substr(0, 30) + std::string(good.size() - 30, '\0'),  // damaged PNG
  };
  for (const std::string& c : cases) {
    EXPECT_FALSE(decodeFrame(c)) << testing::PrintToString(c.substr(0, 24));
  }
}

TEST(FrameFile, LoadsFromDiskAndRefusesWhatIsNotAFile) {
  test::TempDir dir;
  const auto path = dir.write("shot.png", makePng(1, 1, 8, 2, {bytes({9, 8, 7})}));
  auto frame = loadFrameFile(path);
  ASSERT_TRUE(frame);
  EXPECT_EQ(pixel(*frame, 0, 0), (Rgb8{9, 8, 7}));
  EXPECT_FALSE(loadFrameFile(dir / "missing.png"));
  EXPECT_FALSE(loadFrameFile(dir.path()));
}

}  // namespace
}  // namespace nuvlet
