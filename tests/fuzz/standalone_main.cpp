// A driver for sanitize_fuzzer.cpp without libFuzzer: runs the target on each
// file named on the command line, then on `-runs=N` generated inputs (seed
// `-seed=S`) built from the pieces that matter to the sanitizer: escape
// introducers and terminators, controls, UTF-8 fragments and plain text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  unsigned long runs = 0, seed = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-runs=", 6) == 0) {
      runs = std::strtoul(argv[i] + 6, nullptr, 10);
    } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
      seed = std::strtoul(argv[i] + 6, nullptr, 10);
    } else {
      std::ifstream in(argv[i], std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
  }
  static const char* const kPieces[] = {
      "\x1b", "[", "]", "P", "^", "_", "\\", "\x07", "\r", "\n", "\t", "\x00", "\x7f", "m", "@",
      "~", "0;", "\x1b[", "\x1b]", "\x1bP", "\x1b\\", "\xc3", "\xa9", "\xe2\x82", "\xac", "\xf0",
      "\x9f\x98", "\x80", "\xbf", "\xc0", "\xed\xa0", "\xf4\x90", "\xff", "abc", " ", "(gdb) "};
  std::mt19937_64 rng(seed);
  std::string input;
  for (unsigned long r = 0; r < runs; ++r) {
    input.clear();
    std::size_t parts = rng() % 64;
    for (std::size_t k = 0; k < parts; ++k) {
      if (rng() % 4 == 0) {
        input.push_back(static_cast<char>(rng() & 0xFF));
      } else {
        const char* piece = kPieces[rng() % std::size(kPieces)];
        input.append(piece, piece[0] == '\0' ? 1 : std::strlen(piece));
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
  }
  std::printf("ran %lu generated inputs\n", runs);
  return 0;
}
