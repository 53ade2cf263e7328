// Stopping a run early at the caller's request.
//
// A caller may hand a run the question "should the run stop now?". The core asks it only
// on the thread that called combat_dense and only while none of the pool's workers is
// running: between stages, between the passes of the parametric solver and between slices
// of the non-parametric jobs. The caller may therefore answer it with code that must not
// run alongside the workers (the interpreter binding runs pending signal handlers).
//
// When the answer is yes the run throws RunCancelled. It is not a CombatError: a cancelled
// run has neither a result nor an error of its own, and unwinding releases every buffer
// the run held, so nothing partial is left behind.
#pragma once

#include <exception>
#include <functional>

namespace quarnel {

class RunCancelled : public std::exception {
 public:
  const char* what() const noexcept override;
};

// Empty: the run is never cancelled.
using CancelRequested = std::function<bool()>;

// Asks `requested` (when set) and throws RunCancelled when it answers true. Only for the
// run's calling thread outside parallel sections; anywhere else it is a programming fault.
void stop_if_cancelled(const CancelRequested& requested);

}  // namespace quarnel
