// The core library's front door: one dense correction request in, the corrected matrix
// and a report out, or the first CombatError met.
#pragma once

#include "quarnel/request.hpp"

namespace quarnel {

// Validates the request in a fixed order, builds the batch levels and runs the
// correction. Memory exhaustion surfaces as std::bad_alloc, a broken invariant as
// InternalFault and a cancelled run as RunCancelled; every other failure is a CombatError.
Result<CombatDenseOutput> combat_dense(const CombatDenseRequest& request,
                                       const CombatOptions& options);

}  // namespace quarnel
