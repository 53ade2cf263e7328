#include "quarnel/cancel.hpp"

#include "quarnel/error.hpp"
#include "quarnel/parallel.hpp"

namespace quarnel {

const char* RunCancelled::what() const noexcept { return "quarnel run cancelled"; }

void stop_if_cancelled(const CancelRequested& requested, const Progress& progress) {
  if (!requested) return;
  // A worker asking would run the caller's code alongside other workers, which is exactly
  // what the question's contract rules out.
  require(!pool::inside_parallel_section(), "cancellation is asked outside parallel sections");
  if (requested(progress)) throw RunCancelled{};
}

}  // namespace quarnel
