// Replays every file of the given folders (or files) through LLVMFuzzerTestOneInput, so that the
// seed corpus of each fuzz target runs as an ordinary test when libFuzzer is not available.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(p)) {
        if (entry.is_regular_file()) {
          RunFile(entry.path());
          ++count;
        }
      }
    } else if (std::filesystem::exists(p)) {
      RunFile(p);
      ++count;
    }
  }
  // Also a few synthetic inputs so that an empty corpus still exercises the target.
  const uint8_t empty = 0;
  LLVMFuzzerTestOneInput(&empty, 0);
  std::vector<uint8_t> ff(4096, 0xff);
  LLVMFuzzerTestOneInput(ff.data(), ff.size());
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
