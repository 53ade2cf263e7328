#include "quarnel/api.hpp"

namespace quarnel {

Result<CombatDenseOutput> combat_dense_impl(const CombatDenseRequest&, const CombatOptions&,
                                            BatchLevels) {
  throw InternalFault("the correction pipeline is not available yet");
}

}  // namespace quarnel
