// Replays every file of a corpus folder through a fuzz target, so that CTest keeps the findings
// and seeds of past fuzzing runs as regression cases without needing libFuzzer.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  std::error_code error;
  std::filesystem::directory_iterator it(argv[1], error);
  if (error) {
    std::fprintf(stderr, "cannot read corpus folder %s: %s\n", argv[1], error.message().c_str());
    return 2;
  }
  int count = 0;
  for (const auto& entry : it) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++count;
  }
  std::printf("replayed %d corpus files\n", count);
  return count > 0 ? 0 : 1;
}
