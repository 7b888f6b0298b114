// Writes a record history for trying the fitter on: bench_history DIR [ROWS] [DAYS] [LOG_LINES]
#include <cstdio>
#include <cstdlib>

#include "bench/HistoryGenerator.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DIR [ROWS] [DAYS] [LOG_LINES]\n", argv[0]);
    return 2;
  }
  nuvlet::bench::HistoryShape shape;
  if (argc > 2) shape.telemetryRows = std::atoll(argv[2]);
  if (argc > 3) shape.days = std::max(1, std::atoi(argv[3]));
  if (argc > 4) shape.logLines = std::atoll(argv[4]);
  nuvlet::bench::HistoryGenerator generator(shape.seed);
  const auto files = generator.write(argv[1], shape);
  std::printf("wrote %zu day files and a log of %lld lines below %s\n", files.size(),
              static_cast<long long>(shape.logLines), argv[1]);
  return 0;
}
