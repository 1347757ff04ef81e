// The error contract's value type: the wrong alternative is a fault that
// names the caller's line.
#include "codec/result.h"

#include <gtest/gtest.h>

#include <string>

namespace ovk {
namespace {

TEST(Result, WrongAlternativeIsAFaultAtTheCallersLine) {
  const Result<int> failed = Error(ErrorKind::kInvalidData, "bad bytes");
  const int line = __LINE__ + 2;
  try {
    (void)failed.value();
    FAIL() << "value() of an error returned";
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.line(), line);
    EXPECT_TRUE(std::string(fault.file()).ends_with("result_test.cpp")) << fault.file();
    EXPECT_STREQ(fault.what(), "value() of a Result holding an error");
  }
  const Result<int> fine = 7;
  EXPECT_EQ(fine.value(), 7);
  EXPECT_THROW((void)fine.error(), Fault);
  Result<std::string> moved = std::string("kept");
  EXPECT_EQ(std::move(moved).value(), "kept");
}

TEST(Result, OsErrorsCarryTheirErrno) {
  EXPECT_EQ(Error(ErrorKind::kOsError, "No such file or directory", 2).os_errno(), 2);
  EXPECT_EQ(Error(ErrorKind::kInvalidData, "bad bytes").os_errno(), 0);
}

}  // namespace
}  // namespace ovk
