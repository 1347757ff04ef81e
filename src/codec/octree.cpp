#include "codec/octree.h"

namespace ovk {

AxisParts split_axis(std::uint64_t s) noexcept {
  if (s >= 2) {
    const std::uint64_t h = s / 2;
    return AxisParts{2, {h, s - h}, {0, h}};
  }
  return AxisParts{1, {1, 0}, {0, 0}};
}

}  // namespace ovk
