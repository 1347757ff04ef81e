// The text of CompressionResult's repr. Plain C++ (no Python.h), so the C++
// tests check it digit by digit.
#pragma once

#include <string>

#include "codec/compress.h"

namespace ovk::python {

// "CompressionResult(n_events=N, ratio=R.RRx, bpe=B.BB)" with both floats in
// fixed point, two decimals, exact ties to even.
std::string format_record_repr(const CompressionRecord& record);

}  // namespace ovk::python
