// quarnel for R: the core's judged run, its model fit and its model application, called
// with R's vectors read in place.
//
// Conventions, as the Python binding keeps them:
//   - the R code has checked and encoded every argument (batch ids 0 ... L-1, the
//     covariates as a row-major samples x columns block), so the glue only lays them out;
//   - a CombatError comes back as a value naming its kind and payload, for the R code to
//     raise as a classed condition with the core's own message;
//   - Ctrl-C stops a run between stages: the core asks on this (R's main) thread, while
//     no worker runs, and R_ToplevelExec keeps R's longjmp from crossing the core's
//     frames. No R object is touched from a worker thread.

#include "glue.hpp"

#include <R_ext/Print.h>
#include <Rinternals.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <memory>
#include <chrono>
#include <utility>
#include <variant>

#include "quarnel/estimability.hpp"
#include "quarnel/judged.hpp"
#include "quarnel/model.hpp"
#include "quarnel/partial.hpp"

using namespace cpp11::literals;

namespace glue {

Problem::Problem(SEXP values, int n_samples, int n_features, SEXP batch, SEXP covariates,
                 int n_covariates) {
  const int* ids = INTEGER(batch);
  batch_ids.assign(ids, ids + Rf_xlength(batch));
  request.values = {REAL(values), static_cast<std::size_t>(Rf_xlength(values))};
  request.batch = batch_ids;
  request.n_samples = static_cast<std::uint64_t>(n_samples);
  request.n_features = static_cast<std::uint64_t>(n_features);
  if (covariates != R_NilValue) {
    request.covariates = quarnel::CovariateMatrix{
        {REAL(covariates), static_cast<std::size_t>(Rf_xlength(covariates))},
        static_cast<std::uint64_t>(n_covariates)};
  }
}

bool well_typed(SEXP values, SEXP batch, SEXP covariates) {
  return TYPEOF(values) == REALSXP && TYPEOF(batch) == INTSXP &&
         (covariates == R_NilValue || TYPEOF(covariates) == REALSXP);
}

namespace {

void check_user_interrupt(void*) { R_CheckUserInterrupt(); }

// A progress line, rewritten in place, once a run has taken a couple of seconds.
class ProgressLine {
 public:
  void tell(const quarnel::Progress& progress) {
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(2) || now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    shown_ = true;
    const std::string stage(progress.stage);
    if (progress.total > 0) {
      REprintf("\rquarnel: %-12s %3d%%", stage.c_str(),
               static_cast<int>(100.0 * static_cast<double>(progress.done) / static_cast<double>(progress.total)));
    } else {
      REprintf("\rquarnel: %-12s     ", stage.c_str());
    }
  }
  ~ProgressLine() {
    if (shown_) REprintf("\r%40s\r", "");
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_{};
  bool shown_ = false;
};

}  // namespace

quarnel::CancelRequested interrupt_hook(Stop& stop, bool show) {
  auto line = show ? std::make_shared<ProgressLine>() : nullptr;
  return [&stop, line](const quarnel::Progress& progress) {
    if (line) line->tell(progress);
    // R_ToplevelExec returns FALSE when the check jumped, that is on an interrupt; the
    // jump ends inside it, so it never crosses the core's frames.
    if (R_ToplevelExec(check_user_interrupt, nullptr) == FALSE) stop.interrupted = true;
    return stop.interrupted;
  };
}

namespace {

cpp11::writable::doubles counts(const std::vector<std::uint64_t>& items) {
  cpp11::writable::doubles out(static_cast<R_xlen_t>(items.size()));
  for (std::size_t i = 0; i < items.size(); ++i) out[static_cast<R_xlen_t>(i)] = static_cast<double>(items[i]);
  return out;
}

// Each variant's name and payload, under the names the Python binding gives them.
struct Describe {
  cpp11::writable::list& out;
  void operator()(const quarnel::ShapeMismatch& v) const {
    out.push_back("kind"_nm = "ShapeMismatch");
    out.push_back("expected"_nm = static_cast<double>(v.expected));
    out.push_back("got"_nm = static_cast<double>(v.got));
  }
  void operator()(const quarnel::ShapeProductOverflow&) const { out.push_back("kind"_nm = "ShapeProductOverflow"); }
  void operator()(const quarnel::EmptyInput&) const { out.push_back("kind"_nm = "EmptyInput"); }
  void operator()(const quarnel::BatchLengthMismatch&) const { out.push_back("kind"_nm = "BatchLengthMismatch"); }
  void operator()(const quarnel::CovariateShapeMismatch&) const {
    out.push_back("kind"_nm = "CovariateShapeMismatch");
  }
  void operator()(const quarnel::TooFewBatches&) const { out.push_back("kind"_nm = "TooFewBatches"); }
  void operator()(const quarnel::MissingReferenceBatch& v) const {
    out.push_back("kind"_nm = "MissingReferenceBatch");
    out.push_back("batch_id"_nm = static_cast<double>(v.batch_id));
  }
  void operator()(const quarnel::NonFiniteDenseValue& v) const {
    out.push_back("kind"_nm = "NonFiniteDenseValue");
    out.push_back("sample"_nm = static_cast<double>(v.sample));
    out.push_back("feature"_nm = static_cast<double>(v.feature));
  }
  void operator()(const quarnel::NonFiniteDesignValue& v) const {
    out.push_back("kind"_nm = "NonFiniteDesignValue");
    out.push_back("sample"_nm = static_cast<double>(v.sample));
    out.push_back("column"_nm = static_cast<double>(v.column));
  }
  void operator()(const quarnel::SingularDesign&) const { out.push_back("kind"_nm = "SingularDesign"); }
  void operator()(const quarnel::InvalidDesign& v) const {
    out.push_back("kind"_nm = "InvalidDesign");
    out.push_back("columns"_nm = counts(v.columns));
  }
  void operator()(const quarnel::UnsupportedOption&) const { out.push_back("kind"_nm = "UnsupportedOption"); }
  void operator()(const quarnel::NumericalFailure&) const { out.push_back("kind"_nm = "NumericalFailure"); }
  void operator()(const quarnel::UnknownBatches& v) const {
    out.push_back("kind"_nm = "UnknownBatches");
    out.push_back("batch_ids"_nm = counts(v.batch_ids));
  }
};

}  // namespace

cpp11::list error_value(const quarnel::CombatError& error) {
  cpp11::writable::list out;
  std::visit(Describe{out}, error);
  out.push_back("message"_nm = quarnel::render(error));
  out.push_back("class"_nm = quarnel::error_class(error) == quarnel::ErrorClass::numerical ? "numerical" : "input");
  return out;
}

cpp11::list fault_value(const char* kind, const std::string& message) {
  return cpp11::writable::list({"kind"_nm = kind, "message"_nm = message, "class"_nm = "fault"});
}

cpp11::list interrupted_value() { return cpp11::writable::list({"interrupted"_nm = true}); }

cpp11::list report_list(const quarnel::CombatDenseReport& report) {
  return cpp11::writable::list({"effective_mean_only"_nm = report.effective_mean_only,
                                "singleton_batches"_nm = counts(report.singleton_batches),
                                "zero_variance_features"_nm = counts(report.zero_variance_features)});
}

cpp11::list partial_list(const std::vector<quarnel::PartialOutcome>& outcomes) {
  const auto n = static_cast<R_xlen_t>(outcomes.size());
  cpp11::writable::integers issue(n), batch(n);
  cpp11::writable::list batches(n);
  for (R_xlen_t i = 0; i < n; ++i) {
    const quarnel::PartialOutcome& outcome = outcomes[static_cast<std::size_t>(i)];
    issue[i] = static_cast<int>(outcome.issue);
    batch[i] = outcome.batch ? static_cast<int>(*outcome.batch) : -1;
    batches[i] = counts(outcome.batches);
  }
  return cpp11::writable::list({"issue"_nm = issue, "batch"_nm = batch, "batches"_nm = batches});
}

namespace {

// Feature positions (0-based) the R code chose: strictly ascending and below n_features,
// which the R code guarantees; a list that breaks it is the glue's fault, not the user's.
std::vector<std::size_t> chosen_features(SEXP list, R_xlen_t which, std::uint64_t n_features) {
  if (TYPEOF(list) != VECSXP || Rf_xlength(list) != 2) throw quarnel::InternalFault("the choice is not two lists");
  const SEXP items = VECTOR_ELT(list, which);
  if (TYPEOF(items) != INTSXP) throw quarnel::InternalFault("the chosen features are not integers");
  std::vector<std::size_t> features;
  const int* at = INTEGER(items);
  for (R_xlen_t i = 0; i < Rf_xlength(items); ++i) {
    const int feature = at[i];
    if (feature < 0 || static_cast<std::uint64_t>(feature) >= n_features ||
        (!features.empty() && static_cast<std::size_t>(feature) <= features.back())) {
      throw quarnel::InternalFault("the chosen features are not ascending feature positions");
    }
    features.push_back(static_cast<std::size_t>(feature));
  }
  return features;
}

// The features a run corrects, chosen by the R function `choose(issue, batch)` from every
// feature's verdict. It returns list(complete, partial), or NULL when it has kept a
// condition to raise instead, which stops the run.
quarnel::ChooseFeatures chosen_by(cpp11::function choose, std::uint64_t n_features, Stop& stop) {
  return [choose, n_features, &stop](const quarnel::FeatureAssessment& assessment) {
    const auto n = static_cast<R_xlen_t>(assessment.verdicts.size());
    cpp11::sexp answer;
    try {
      cpp11::writable::integers issue(n), batch(n);
      for (R_xlen_t i = 0; i < n; ++i) {
        const quarnel::FeatureVerdict& verdict = assessment.verdicts[static_cast<std::size_t>(i)];
        issue[i] = static_cast<int>(verdict.issue);
        batch[i] = verdict.batch ? static_cast<int>(*verdict.batch) : -1;
      }
      answer = choose(issue, batch);
    } catch (...) {
      stop.callback_error = std::current_exception();
      throw quarnel::RunCancelled();
    }
    if (answer == R_NilValue) throw quarnel::RunCancelled();
    return quarnel::FeatureChoice{chosen_features(answer, 0, n_features), chosen_features(answer, 1, n_features)};
  };
}

}  // namespace

}  // namespace glue

[[cpp11::register]]
cpp11::strings qn_issue_names() {
  return cpp11::writable::strings({"none", "constant", "no_values", "few_values", "no_residual", "singular",
                                   "equal_values", "numerical", "one_batch", "no_reference", "no_prior",
                                   "level_fitted", "too_large"});
}

// A correction (fit = FALSE) or a model fit (fit = TRUE) of the complete and partial
// features that `choose` picks from the core's verdicts.
[[cpp11::register]]
cpp11::list qn_run(SEXP values, int n_samples, int n_features, SEXP batch, SEXP covariates,
                   int n_covariates, bool par_prior, bool mean_only, int reference, bool exact,
                   bool fit, cpp11::function choose, bool progress) {
  if (!glue::well_typed(values, batch, covariates)) {
    return glue::fault_value("InternalFault", "quarnel internal fault: the run's vectors are not of the types it reads");
  }
  const glue::Problem problem(values, n_samples, n_features, batch, covariates, n_covariates);
  glue::Stop stop;
  quarnel::CombatOptions options;
  options.par_prior = par_prior;
  options.mean_only = mean_only;
  if (reference >= 0) options.ref_batch = static_cast<std::uint64_t>(reference);
  options.exact = exact;
  options.cancel_requested = glue::interrupt_hook(stop, progress);
  const quarnel::ChooseFeatures chooser = glue::chosen_by(choose, problem.request.n_features, stop);
  std::optional<cpp11::list> failed;
  if (fit) {
    auto fitted = glue::run_core(
        [&] { return quarnel::fit_model_judged(problem.request, options, chooser); }, stop, failed);
    if (!fitted) return *failed;
    return cpp11::writable::list({"model"_nm = glue::model_list(fitted->model),
                                  "report"_nm = glue::report_list(fitted->report),
                                  "partial"_nm = glue::partial_list(fitted->partial)});
  }
  auto corrected = glue::run_core(
      [&] { return quarnel::combat_dense_judged(problem.request, options, chooser); }, stop, failed);
  if (!corrected) return *failed;
  const quarnel::ValueBuffer& adjusted = corrected->output.adjusted;
  if (adjusted.size() != problem.request.values.size()) {
    return glue::fault_value("InternalFault", "quarnel internal fault: the run returned a matrix unlike its request");
  }
  cpp11::writable::doubles matrix(static_cast<R_xlen_t>(adjusted.size()));
  std::copy(adjusted.begin(), adjusted.end(), REAL(matrix.data()));
  matrix.attr("dim") = cpp11::writable::integers({n_features, n_samples});
  return cpp11::writable::list({"adjusted"_nm = matrix,
                                "report"_nm = glue::report_list(corrected->output.report),
                                "partial"_nm = glue::partial_list(corrected->partial)});
}

// Samples corrected with a fitted model; batch ids past the model's levels are new
// batches, estimated when `new_batches` is set.
[[cpp11::register]]
cpp11::list qn_apply(cpp11::list model_list, SEXP values, int n_samples, int n_features, SEXP batch,
                     SEXP covariates, int n_covariates, bool new_batches, bool progress) {
  std::string problem_text;
  const std::optional<quarnel::CombatModel> model = glue::read_model(model_list, problem_text);
  if (!model) return glue::fault_value("InvalidModel", problem_text);
  if (!glue::well_typed(values, batch, covariates)) {
    return glue::fault_value("InternalFault", "quarnel internal fault: the run's vectors are not of the types it reads");
  }
  const glue::Problem problem(values, n_samples, n_features, batch, covariates, n_covariates);
  glue::Stop stop;
  const quarnel::ApplyOptions options{new_batches, glue::interrupt_hook(stop, progress)};
  std::optional<cpp11::list> failed;
  auto applied = glue::run_core([&] { return quarnel::apply_model(*model, problem.request, options); },
                                stop, failed);
  if (!applied) return *failed;
  cpp11::writable::doubles matrix(static_cast<R_xlen_t>(applied->adjusted.size()));
  std::copy(applied->adjusted.begin(), applied->adjusted.end(), REAL(matrix.data()));
  matrix.attr("dim") = cpp11::writable::integers({n_features, n_samples});
  return cpp11::writable::list({"adjusted"_nm = matrix, "new_batches"_nm = glue::new_levels_list(applied->new_levels)});
}

// Caps the worker pool, which takes its size from OpenMP when it first starts.
[[cpp11::register]]
int qn_limit_threads(int threads) {
  if (threads > 0 && threads < omp_get_max_threads()) omp_set_num_threads(threads);
  return omp_get_max_threads();
}

// The CRC-32 of a zip member (the polynomial of zip, gzip and PNG).
[[cpp11::register]]
double qn_crc32(cpp11::raws bytes) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFU;
  const Rbyte* data = RAW(bytes.data());
  for (R_xlen_t i = 0; i < bytes.size(); ++i) crc = table[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8);
  return static_cast<double>(crc ^ 0xFFFFFFFFU);
}
