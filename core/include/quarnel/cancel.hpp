// Stopping a run early at the caller's request.
//
// A caller may hand a run the question "should the run stop now?", which also tells the
// caller how far the run has come (the same points serve both). The core asks it only
// on the thread that called combat_dense and only while none of the pool's workers is
// running: between stages and between the slices of tiles of each round (a tile's solver
// passes or non-parametric jobs are kept to milliseconds of work). The caller may therefore answer it with code that must not
// run alongside the workers (the interpreter binding runs pending signal handlers).
//
// When the answer is yes the run throws RunCancelled. It is not a CombatError: a cancelled
// run has neither a result nor an error of its own, and unwinding releases every buffer
// the run held, so nothing partial is left behind.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string_view>

namespace quarnel {

class RunCancelled : public std::exception {
 public:
  const char* what() const noexcept override;
};

// How far a run has come, told with every question: the stage it is in and how many of
// the stage's items are done. Stages are "standardise", "estimate" (solver passes of the
// levels, or non-parametric jobs) and "adjust"; a total of 0 means the stage cannot say.
struct Progress {
  std::string_view stage;
  std::size_t done = 0;
  std::size_t total = 0;
};

// Empty: the run is never cancelled and nobody listens to its progress.
using CancelRequested = std::function<bool(const Progress&)>;

// Asks `requested` (when set), telling it `progress`, and throws RunCancelled when it
// answers true. Only for the run's calling thread outside parallel sections; anywhere else
// it is a programming fault.
void stop_if_cancelled(const CancelRequested& requested, const Progress& progress = {});

}  // namespace quarnel
