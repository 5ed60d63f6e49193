// Runs a fuzz target's entry point over files and directories of inputs, so
// that seed corpora and crash reproducers are regression tests in builds
// without libFuzzer. Fails when it finds no input at all.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::filesystem::path> inputsUnder(const std::filesystem::path& root) {
  std::vector<std::filesystem::path> inputs;
  if (std::filesystem::is_regular_file(root)) return {root};
  if (!std::filesystem::is_directory(root)) return inputs;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

std::string readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::filesystem::path& input : inputsUnder(argv[i])) {
      std::string bytes = readBytes(input);
      // A copy of its own, so that a read past the end is caught by AddressSanitizer.
      std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
      std::printf("%s (%zu bytes)\n", input.string().c_str(), copy.size());
      static_cast<void>(std::fflush(stdout));
      LLVMFuzzerTestOneInput(copy.data(), copy.size());
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  return replayed > 0 ? 0 : 1;
}
