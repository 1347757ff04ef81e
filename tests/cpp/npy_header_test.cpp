#include "io/npy_header.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ovk::io {
namespace {

constexpr char kEventDescr[] = "[('x', '<u2'), ('y', '<u2'), ('t', '<u4'), ('p', '|u1')]";

std::string preamble(std::size_t dict_length) {
  return std::string("\x93NUMPY\x01\x00", 8) + static_cast<char>(dict_length & 0xFF) +
         static_cast<char>(dict_length >> 8);
}

TEST(NpyHeader, OneDimensionalStructuredArrayByValue) {
  const std::uint64_t shape[] = {3};
  // The dictionary is 108 characters; 10 + 108 + 1 = 119, so 9 spaces and the
  // line feed bring the whole header to 128 bytes.
  EXPECT_EQ(npy_header(kEventDescr, shape),
            preamble(118) + "{'descr': " + kEventDescr +
                ", 'fortran_order': False, 'shape': (3,), }" + std::string(9, ' ') + "\n");
}

TEST(NpyHeader, TwoDimensionsAndNoDimensionsAsPythonTuples) {
  const std::uint64_t table[] = {2, 9};
  EXPECT_EQ(npy_header("'<u8'", table),
            preamble(118) + "{'descr': '<u8', 'fortran_order': False, 'shape': (2, 9), }" +
                std::string(58, ' ') + "\n");
  EXPECT_EQ(npy_header("'<u8'", {}),
            preamble(118) + "{'descr': '<u8', 'fortran_order': False, 'shape': (), }" +
                std::string(62, ' ') + "\n");
}

// Against the rule itself: the dictionary unchanged, then the fewest spaces
// that make the whole header a multiple of 64 bytes including its line feed,
// over descriptions of every length modulo 64 (so also the exact fit).
TEST(NpyHeader, PaddingIsTheFewestSpacesToSixtyFourBytes) {
  for (std::size_t n = 0; n < 130; ++n) {
    std::string descr(n + 2, 'a');  // 'aaa...' in quotes
    descr.front() = descr.back() = '\'';
    const std::uint64_t shape[] = {n, 7};
    const std::string dict = "{'descr': " + descr + ", 'fortran_order': False, 'shape': (" +
                             std::to_string(n) + ", 7), }";
    std::size_t total = 10 + dict.size() + 1;
    const std::size_t spaces = (64 - total % 64) % 64;
    total += spaces;
    EXPECT_EQ(npy_header(descr, shape),
              preamble(total - 10) + dict + std::string(spaces, ' ') + "\n")
        << n;
  }
}

}  // namespace
}  // namespace ovk::io
