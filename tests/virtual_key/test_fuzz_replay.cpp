// The seeds and saved findings of fuzz_virtual_key_apdu through its check, in
// the normal build (no clang or libFuzzer needed).

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "virtual_key_check.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(VirtualKeyFuzzReplay, SeedsAndFindingsKeepEveryInvariant) {
  size_t seeds = 0;
  for (const fs::path& dir : {fs::path(FUZZ_DIR) / "corpus" / "virtual_key_apdu",
                             fs::path(FUZZ_DIR) / "regressions" / "fuzz_virtual_key_apdu"}) {
    if (!fs::is_directory(dir))
      continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      const auto input = read_file(entry.path());
      EXPECT_EQ(fuzz_checks::virtual_key_apdus(input.data(), input.size()), "") << entry.path();
      ++seeds;
    }
  }
  EXPECT_GE(seeds, 10u);
}

}  // namespace
