#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nuvlet/platform/Frame.h"

namespace nuvlet {

// Box-filters a frame down to size × size cells in one forward pass over its rows,
// with exact integer sums, and totals every pixel of the frame on the way.
//
// Pixel x belongs to cell column floor(x * size / width), and likewise for rows, so
// every cell averages a block of whole pixels and the blocks tile the frame. On a
// side shorter than `size` the cells repeat the pixel under their left (top) edge,
// as an enlarged bitmap would.
//
// Rows may arrive in bands of any height (a capture in strips); the averager keeps
// only a few rows' worth of column sums, never the frame.
class AreaAverager {
 public:
  // How the rows are summed. Every kernel gives the same sums to the last bit; which
  // one is fastest depends on the processor and on whether the frame is in cache, so
  // FrameReducer times them on the frames it is given (KernelChooser).
  struct Kernel {
    enum class Isa : std::uint8_t { Portable, Sse2, Avx2 };
    enum class Walk : std::uint8_t {
      Columns,   // each row into 16-bit column sums, cells summed once a cell row is done
      Pairs,     // each row into sums of pixel pairs; every cell edge even
      PairRows,  // as Pairs, two rows a pass: half the trips through the sums
      Across,    // each row cell by cell in registers; cells 8 to 1000 pixels wide (AVX2)
    };
    Isa isa = Isa::Portable;
    Walk walk = Walk::Columns;
    bool prefetch = false;  // asks for a later row of the band while one is summed

    std::string name() const;
    friend bool operator==(const Kernel&, const Kernel&) = default;
  };

  struct Sums {
    std::uint64_t b = 0, g = 0, r = 0;
    std::uint64_t pixels = 0;
  };

  // 1 <= size <= kMaxSize.
  explicit AreaAverager(int size);

  static constexpr int kMaxSize = 4096;

  // For tests: run the kernels every x86-64 processor has, as on one without AVX2.
  // Not thread-safe; takes effect at the next begin().
  static void useBaselineKernels(bool baseline);
  // Whether AVX2 code may run: the processor has it and the baseline is not forced.
  static bool avx2();

  // Every kernel worth timing on this processor (the portable one only where no other
  // runs).
  static std::vector<Kernel> kernels();

  int size() const { return size_; }

  // Whether `kernel` runs on this processor and takes rows `width` pixels wide (the
  // portable kernel always does).
  bool fits(Kernel kernel, int width) const;
  // The kernels that fit rows `width` pixels wide, the untimed guess first.
  std::vector<Kernel> kernelsFor(int width) const;

  // Starts a frame; false (and nothing accepted until the next begin) when the
  // dimensions are not positive. A kernel that does not fit gives way to the guess.
  bool begin(int width, int height);
  bool begin(int width, int height, Kernel kernel);
  Kernel kernel() const { return kernel_; }

  // The next rows of the frame, top to bottom. A band of the wrong width, an invalid
  // band or rows past the bottom spoil the frame: complete() stays false.
  void addRows(const FrameView& band);

  // Every row arrived and none was refused.
  bool complete() const { return ok_ && nextRow_ == height_; }

  // Valid once complete(): the sums of each cell, row after row, top row first, and
  // of the whole frame (each pixel counted once).
  const std::vector<Sums>& cells() const { return cells_; }
  const Sums& total() const { return total_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // Valid once complete(): the cells as the 8-bit bitmap a renderer would produce.
  std::vector<Rgb8> bitmap() const;

  // The 8-bit value of a cell channel, rounded to nearest as a rendered bitmap holds it.
  static std::uint8_t rounded(std::uint64_t sum, std::uint64_t count) {
    return static_cast<std::uint8_t>((2 * sum + count) / (2 * count));
  }

 private:
  void flush();

  int size_;
  int width_ = 0;
  int height_ = 0;
  bool ok_ = false;
  int nextRow_ = 0;
  Kernel kernel_;
  int rowsPerFlush_ = 0;
  int accRows_ = 0;            // rows summed in acc_ since the last flush
  int cellRow_ = 0;            // cell row of the rows in acc_ (frames at least `size` tall)
  bool freshCellRow_ = false;  // no flush has reached cells_ for cellRow_ yet
  int edgesWidth_ = 0;         // the frame size columnStart_ and rowEnd_ are for
  int edgesHeight_ = 0;
  std::vector<int> columnStart_;      // size + 1 edges (frames at least `size` wide)
  std::vector<int> rowEnd_;           // size entries: first row past each cell row
  std::vector<std::uint16_t> acc_;    // column sums of the rows since the last flush
  std::vector<std::uint32_t> lanes_;  // cell sums of those rows, eight lanes a cell
  std::vector<Sums> rowCells_;        // acc_ reduced into the cell columns
  std::vector<Sums> cells_;
  Sums total_;
};

}  // namespace nuvlet
