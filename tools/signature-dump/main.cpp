// signature-dump IMAGE...: what the sampler would take from each screenshot (PNG or
// binary PPM): the mean luminance, the content signature and the 4 × 4 grid.

#include <cstdio>

#include "nuvlet/sensing/FrameFile.h"
#include "nuvlet/sensing/LuminanceReducer.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IMAGE...\n(PNG or binary PPM)\n", argv[0]);
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    auto frame = nuvlet::loadFrameFile(argv[i]);
    if (!frame) {
      std::fprintf(stderr, "%s: not a readable PNG or PPM picture\n", argv[i]);
      status = 1;
      continue;
    }
    const auto r = nuvlet::LuminanceReducer::reduce(frame->view());
    const auto& s = r.signature;
    std::printf("%s: %dx%d\n", argv[i], frame->width(), frame->height());
    std::printf("  mean luminance %.6f\n", r.luminance);
    std::printf("  signature pctDark %.6f pctBright %.6f mean %.6f chroma %.6f warmCool %+.6f\n",
                s.pctDark, s.pctBright, s.mean, s.chroma, s.warmCool);
    for (int row = 0; row < 4; ++row) {
      std::printf("  %s", row == 0 ? "grid" : "    ");
      for (int col = 0; col < 4; ++col) std::printf(" %.4f", r.grid[4 * row + col]);
      std::printf("\n");
    }
  }
  return status;
}
