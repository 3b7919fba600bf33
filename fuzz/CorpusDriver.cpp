// Runs a fuzz harness over files instead of libFuzzer's inputs: every file
// given, and every file inside every folder given, in name order. This is
// how the seed corpora run as ordinary tests in the normal build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path given = argv[i];
    if (std::filesystem::is_directory(given)) {
      for (const auto& entry : std::filesystem::directory_iterator(given))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else {
      files.push_back(given);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "%s: no input files\n", argv[0]);
    return 2;
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
      return 2;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", file.filename().c_str());
    // A vector's data may be null when empty; the harness gets a real pointer.
    static const std::uint8_t kNothing = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &kNothing : bytes.data(), bytes.size());
  }
  std::printf("%zu inputs passed\n", files.size());
  return 0;
}
