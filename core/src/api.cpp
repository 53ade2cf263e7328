#include "quarnel/api.hpp"

#include "quarnel/model.hpp"
#include "quarnel/pipeline.hpp"

namespace quarnel {

Result<CombatDenseOutput> combat_dense(const CombatDenseRequest& request,
                                       const CombatOptions& options) {
  // The shape first: the list of every feature is only made for a request that has one.
  if (Status shape = check_dense_shape(request); !shape) return fail(std::move(shape.error()));
  Result<PartialCombatOutput> run =
      combat_dense_partial(request, options, every_feature(request.n_features), {});
  if (!run) return fail(std::move(run.error()));
  return std::move(run->output);
}

}  // namespace quarnel
