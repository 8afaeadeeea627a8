// live_bench FILE [ROUNDS]: the core's part of reading one live record, timed: LiveReader's
// latest() (the header read and checked, the newest buffer copied, the header read again) and
// the record written into a block of columns, as `Live.latest()` does before pyarrow's slice.
// Prints the median microseconds per record over ROUNDS rounds of 1,000 (bench/bench_live.py).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/live.h"
#include "core/shared_memory.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: live_bench FILE [ROUNDS]\n", stderr);
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 21;
  auto memory = corvex::open_live_file(argv[1]);
  if (!memory) {
    std::fprintf(stderr, "live_bench: %s\n", memory.error().display().c_str());
    return 1;
  }
  corvex::LiveReader reader(std::shared_ptr<corvex::SharedMemory>(std::move(*memory)));
  std::vector<double> per_record;
  std::shared_ptr<corvex::LiveBlock> block;
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) {
      auto records = reader.latest();
      if (!records) {
        std::fprintf(stderr, "live_bench: %s\n", records.error().display().c_str());
        return 1;
      }
      if (!block || block->full()) {
        auto made = corvex::LiveBlock::make(records->layout, 64);
        if (!made) return 1;
        block = std::make_shared<corvex::LiveBlock>(std::move(*made));
      }
      block->put(records->record(0));
    }
    per_record.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count() /
        1000.0);
  }
  std::sort(per_record.begin(), per_record.end());
  std::printf("%.3f\n", per_record[per_record.size() / 2]);
  return 0;
}
