// Writes frames of random tables (every column kind, metadata maps, odd timestamps) into the
// directory named by argv[1], one file per frame. The body-only files (without header) suit the
// checksum-patching path of unpack_fuzzer.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "frame/table_frame.h"
#include "frame/table_testing.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::filesystem::create_directories(dir);
  kvt::testing::RandomSource rng(1);
  for (int i = 0; i < 200; ++i) {
    const kvt::Table t = kvt::testing::random_table(rng);
    auto frame = kvt::pack_table_ref_frame(kvt::as_ref(t));
    if (!frame || frame->size() > 4096) continue;  // small seeds mutate faster
    std::ofstream(dir / ("frame_" + std::to_string(i)), std::ios::binary)
        .write(reinterpret_cast<const char*>(frame->data()),
               static_cast<std::streamsize>(frame->size()));
    std::ofstream(dir / ("region_" + std::to_string(i)), std::ios::binary)
        .write(reinterpret_cast<const char*>(frame->data() + 8),
               static_cast<std::streamsize>(frame->size() - 8));
  }
  return 0;
}
