#include "delta/apply.h"

namespace delta {
namespace internal {

ApplyResult ApplyPackBody(const DeltaHeader&, RangeDecoder*, Base*, Output*) {
  return ApplyResult::kDamaged;
}

}  // namespace internal
}  // namespace delta
