// The core's model as an R list and back: the same entries, under the same names, as the
// Python binding's model dict, so that the R code writes and reads the one file format.
// Levels x features matrices are R matrices of the same shape (R's column-major storage is
// Eigen's default, so they are copied as they lie); positions stay 0-based.

#include "glue.hpp"

#include <Rinternals.h>

#include <algorithm>

using namespace cpp11::literals;

namespace glue {

namespace {

template <class Items>
cpp11::writable::doubles numbers(const Items& items) {
  cpp11::writable::doubles out(static_cast<R_xlen_t>(items.size()));
  std::copy(items.begin(), items.end(), REAL(out.data()));
  return out;
}

cpp11::writable::doubles matrix_of(const quarnel::Matrix& matrix) {
  cpp11::writable::doubles out(static_cast<R_xlen_t>(matrix.size()));
  std::copy(matrix.data(), matrix.data() + matrix.size(), REAL(out.data()));
  out.attr("dim") = cpp11::writable::integers({static_cast<int>(matrix.rows()), static_cast<int>(matrix.cols())});
  return out;
}

cpp11::writable::integers flags_of(const Eigen::Matrix<unsigned char, Eigen::Dynamic, Eigen::Dynamic>& flags) {
  cpp11::writable::integers out(static_cast<R_xlen_t>(flags.size()));
  std::copy(flags.data(), flags.data() + flags.size(), INTEGER(out.data()));
  out.attr("dim") = cpp11::writable::integers({static_cast<int>(flags.rows()), static_cast<int>(flags.cols())});
  return out;
}

void put_priors(cpp11::writable::list& out, const std::vector<quarnel::LevelPrior>& priors) {
  std::vector<double> gamma_bar, tau2, a_prior, b_prior;
  for (const quarnel::LevelPrior& prior : priors) {
    gamma_bar.push_back(prior.gamma_bar);
    tau2.push_back(prior.tau2);
    a_prior.push_back(prior.a_prior);
    b_prior.push_back(prior.b_prior);
  }
  out.push_back("gamma_bar"_nm = numbers(gamma_bar));
  out.push_back("tau2"_nm = numbers(tau2));
  out.push_back("a_prior"_nm = numbers(a_prior));
  out.push_back("b_prior"_nm = numbers(b_prior));
}

template <class Levels>
void put_effects(cpp11::writable::list& out, const Levels& levels) {
  out.push_back("corrected"_nm = flags_of(levels.corrected));
  out.push_back("gamma_hat"_nm = matrix_of(levels.gamma_hat));
  out.push_back("delta_hat"_nm = matrix_of(levels.delta_hat));
  out.push_back("gamma_star"_nm = matrix_of(levels.gamma_star));
  out.push_back("delta_star"_nm = matrix_of(levels.delta_star));
}

}  // namespace

cpp11::list model_list(const quarnel::CombatModel& model) {
  cpp11::writable::list out;
  out.push_back("n_features"_nm = static_cast<double>(model.n_features));
  out.push_back("features"_nm = numbers(model.features));
  out.push_back("zero_variance_features"_nm = numbers(model.zero_variance_features));
  out.push_back("batch_ids"_nm = numbers(model.batch_ids));
  out.push_back("level_sizes"_nm = numbers(model.level_sizes));
  out.push_back("reference"_nm =
                    model.reference_level ? static_cast<double>(model.batch_ids[*model.reference_level]) : -1.0);
  out.push_back("n_covariates"_nm = static_cast<double>(model.n_covariates));
  out.push_back("covariate_columns"_nm = numbers(model.covariate_columns));
  out.push_back("par_prior"_nm = model.par_prior);
  out.push_back("exact"_nm = model.exact);
  out.push_back("mean_only"_nm = model.mean_only);
  out.push_back("effective_mean_only"_nm = model.effective_mean_only);
  out.push_back("grand_mean"_nm = numbers(model.grand_mean));
  out.push_back("covariate_coefficients"_nm = matrix_of(model.covariate_coefficients));
  out.push_back("pooled_variance"_nm = numbers(model.pooled_variance));
  put_effects(out, model);
  put_priors(out, model.priors);
  return out;
}

cpp11::list new_levels_list(const quarnel::NewLevels& levels) {
  cpp11::writable::list out;
  out.push_back("batch_ids"_nm = numbers(levels.batch_ids));
  put_effects(out, levels);
  put_priors(out, levels.priors);
  return out;
}

namespace {

// Reads the entries of an R model list, noting the first that is absent or of the wrong
// type or length; once one is wrong the others read as empty and the model is refused.
class Reader {
 public:
  explicit Reader(cpp11::list list) : list_(list) {}

  SEXP entry(const char* key, SEXPTYPE type, R_xlen_t length) {
    const cpp11::strings names(list_.names());
    for (R_xlen_t i = 0; i < names.size(); ++i) {
      if (std::string(names[i]) != key) continue;
      SEXP item = list_[i];
      if (static_cast<SEXPTYPE>(TYPEOF(item)) != type) return wrong(key, "is not of the type the model needs");
      if (length >= 0 && Rf_xlength(item) != length) return wrong(key, "does not have the length the model needs");
      return item;
    }
    return wrong(key, "is absent");
  }

  std::vector<double> reals(const char* key, R_xlen_t length = -1) {
    SEXP item = entry(key, REALSXP, length);
    if (item == R_NilValue) return {};
    return std::vector<double>(REAL(item), REAL(item) + Rf_xlength(item));
  }

  double scalar(const char* key) {
    const std::vector<double> value = reals(key, 1);
    return value.empty() ? 0.0 : value[0];
  }

  bool flag(const char* key) {
    SEXP item = entry(key, LGLSXP, 1);
    return item != R_NilValue && LOGICAL(item)[0] == TRUE;
  }

  template <class T>
  std::vector<T> positions(const char* key, R_xlen_t length, double below) {
    std::vector<T> out;
    for (const double value : reals(key, length)) {
      if (!(value >= 0 && value < below) || value != static_cast<double>(static_cast<std::uint64_t>(value))) {
        wrong(key, "holds an entry that is not a position");
        return {};
      }
      out.push_back(static_cast<T>(value));
    }
    return out;
  }

  quarnel::Matrix matrix(const char* key, std::size_t rows, std::size_t cols) {
    const std::vector<double> data = reals(key, static_cast<R_xlen_t>(rows * cols));
    quarnel::Matrix out(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
    if (!data.empty()) std::copy(data.begin(), data.end(), out.data());
    return out;
  }

  Eigen::Matrix<unsigned char, Eigen::Dynamic, Eigen::Dynamic> flags(const char* key, std::size_t rows, std::size_t cols) {
    Eigen::Matrix<unsigned char, Eigen::Dynamic, Eigen::Dynamic> out(static_cast<Eigen::Index>(rows),
                                                                     static_cast<Eigen::Index>(cols));
    out.setZero();
    SEXP item = entry(key, INTSXP, static_cast<R_xlen_t>(rows * cols));
    if (item == R_NilValue) return out;
    for (R_xlen_t i = 0; i < Rf_xlength(item); ++i) {
      const int value = INTEGER(item)[i];
      if (value != 0 && value != 1) {
        wrong(key, "holds an entry that is not 0 or 1");
        break;
      }
      out.data()[i] = static_cast<unsigned char>(value);
    }
    return out;
  }

  const std::string& problem() const { return problem_; }

 private:
  SEXP wrong(const char* key, const char* what) {
    if (problem_.empty()) problem_ = std::string("the model's '") + key + "' " + what;
    return R_NilValue;
  }

  cpp11::list list_;
  std::string problem_;
};

}  // namespace

std::optional<quarnel::CombatModel> read_model(cpp11::list list, std::string& problem) {
  Reader read(list);
  quarnel::CombatModel model;
  model.n_features = static_cast<std::uint64_t>(read.scalar("n_features"));
  const double n_features = static_cast<double>(model.n_features);
  model.features = read.positions<std::size_t>("features", -1, n_features);
  const std::size_t g = model.features.size();
  model.batch_ids = read.positions<std::uint64_t>("batch_ids", -1, 1e15);
  const std::size_t l = model.batch_ids.size();
  const bool ascending = std::ranges::adjacent_find(model.features, std::ranges::greater_equal{}) == model.features.end() &&
                         std::ranges::adjacent_find(model.batch_ids, std::ranges::greater_equal{}) == model.batch_ids.end();
  model.level_sizes = read.positions<std::size_t>("level_sizes", static_cast<R_xlen_t>(l), 1e15);
  model.zero_variance_features = read.positions<std::uint64_t>("zero_variance_features", -1, n_features);
  const double reference = read.scalar("reference");
  if (reference >= 0) {
    const auto at = std::ranges::find(model.batch_ids, static_cast<std::uint64_t>(reference));
    if (at == model.batch_ids.end()) {
      problem = "the model's reference is not one of its batches";
      return std::nullopt;
    }
    model.reference_level = static_cast<std::size_t>(at - model.batch_ids.begin());
  }
  model.n_covariates = static_cast<std::uint64_t>(read.scalar("n_covariates"));
  model.covariate_columns = read.positions<std::size_t>("covariate_columns", -1, static_cast<double>(model.n_covariates));
  const std::size_t k = model.covariate_columns.size();
  model.par_prior = read.flag("par_prior");
  model.exact = read.flag("exact");
  model.mean_only = read.flag("mean_only");
  model.effective_mean_only = read.flag("effective_mean_only");
  model.grand_mean = read.reals("grand_mean", static_cast<R_xlen_t>(g));
  model.pooled_variance = read.reals("pooled_variance", static_cast<R_xlen_t>(g));
  model.covariate_coefficients = read.matrix("covariate_coefficients", k, g);
  model.corrected = read.flags("corrected", l, g);
  model.gamma_hat = read.matrix("gamma_hat", l, g);
  model.delta_hat = read.matrix("delta_hat", l, g);
  model.gamma_star = read.matrix("gamma_star", l, g);
  model.delta_star = read.matrix("delta_star", l, g);
  const std::vector<double> gamma_bar = read.reals("gamma_bar", static_cast<R_xlen_t>(l));
  const std::vector<double> tau2 = read.reals("tau2", static_cast<R_xlen_t>(l));
  const std::vector<double> a_prior = read.reals("a_prior", static_cast<R_xlen_t>(l));
  const std::vector<double> b_prior = read.reals("b_prior", static_cast<R_xlen_t>(l));
  if (!read.problem().empty()) {
    problem = read.problem();
    return std::nullopt;
  }
  if (l < 2 || !ascending) {
    problem = "the model needs at least two batches, and its batches and features strictly ascending";
    return std::nullopt;
  }
  for (std::size_t level = 0; level < l; ++level) {
    model.priors.push_back({gamma_bar[level], tau2[level], a_prior[level], b_prior[level]});
  }
  return model;
}

}  // namespace glue

// The model's arrays as the core lays them out: per array its name, NumPy dtype and the
// counts its axes run along, as the model file stores them.
[[cpp11::register]]
cpp11::list qn_model_arrays() {
  cpp11::writable::list out;
  for (const quarnel::ModelArray& array : quarnel::kModelArrays) {
    cpp11::writable::strings axes;
    for (const std::optional<quarnel::ModelExtent>& axis : array.axes) {
      if (axis) axes.push_back(std::string(quarnel::extent_name(*axis)));
    }
    out.push_back(cpp11::writable::list({cpp11::as_sexp(std::string(array.name)),
                                         cpp11::as_sexp(std::string(array.dtype)), axes}));
  }
  return out;
}
