#include "io/formats/hdf5_support.h"

namespace ovk::io {

void silence_hdf5_errors() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

Error hdf5_error(const std::string& what) {
  std::string detail;
  // The walk goes from the innermost call outwards; the first description
  // says what actually failed.
  H5Ewalk2(
      H5E_DEFAULT, H5E_WALK_UPWARD,
      [](unsigned n, const H5E_error2_t* error, void* data) -> herr_t {
        auto* text = static_cast<std::string*>(data);
        if (n == 0 && error->desc != nullptr) *text = error->desc;
        return 0;
      },
      &detail);
  H5Eclear2(H5E_DEFAULT);
  return Error(ErrorKind::kInvalidData, detail.empty() ? what : what + ": " + detail);
}

}  // namespace ovk::io
