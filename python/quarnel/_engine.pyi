# Type stub for the compiled quarnel._engine module. The TypedDicts exist only here: at
# run time the results are plain dicts.
from collections.abc import Callable, Mapping
from typing import Final, SupportsIndex, TypedDict

import numpy as np
import numpy.typing as npt
from _quarnel import InternalFault as InternalFault

# The names of the feature issue codes, indexed by code: FEATURE_ISSUES[2] == "no_values".
FEATURE_ISSUES: Final[tuple[str, ...]]
# A model's arrays in the order they are judged: (name, NumPy dtype, the counts its axes
# run along: "n_levels", "n_corrected", "n_zero_variance" or "n_used").
MODEL_ARRAYS: Final[tuple[tuple[str, str, tuple[str, ...]], ...]]

class _Assessment(TypedDict):
    issue: npt.NDArray[np.uint8]
    batch: npt.NDArray[np.int64]
    effective_mean_only: bool

class _Report(TypedDict):
    effective_mean_only: bool
    singleton_batches: list[int]
    zero_variance_features: list[int]

class _PartialResult(TypedDict):
    adjusted: npt.NDArray[np.float64]
    report: _Report
    partial_issue: npt.NDArray[np.uint8]
    partial_batch: npt.NDArray[np.int64]
    partial_batches: list[list[int]]

# A fitted model as plain entries: L levels (batch_ids are their ids, ascending), G
# corrected features, K non-intercept covariate columns used.
class _Model(TypedDict):
    n_features: int
    features: npt.NDArray[np.int64]  # G, ascending
    zero_variance_features: npt.NDArray[np.int64]
    batch_ids: npt.NDArray[np.int64]  # L
    level_sizes: npt.NDArray[np.int64]  # L
    reference: int  # the reference batch's id, or -1
    n_covariates: int
    covariate_columns: npt.NDArray[np.int64]  # K
    par_prior: bool
    # The non-parametric estimate of the partial features and of new batches estimated
    # by apply: exact (True) or fast (False), as the fit was asked for.
    exact: bool
    mean_only: bool
    effective_mean_only: bool
    grand_mean: npt.NDArray[np.float64]  # G
    covariate_coefficients: npt.NDArray[np.float64]  # K x G
    pooled_variance: npt.NDArray[np.float64]  # G
    corrected: npt.NDArray[np.uint8]  # L x G
    gamma_hat: npt.NDArray[np.float64]  # L x G, NaN where not corrected
    delta_hat: npt.NDArray[np.float64]
    gamma_star: npt.NDArray[np.float64]
    delta_star: npt.NDArray[np.float64]
    gamma_bar: npt.NDArray[np.float64]  # L, NaN where there is no prior
    tau2: npt.NDArray[np.float64]
    a_prior: npt.NDArray[np.float64]
    b_prior: npt.NDArray[np.float64]

class _Fit(TypedDict):
    model: _Model
    report: _Report
    partial_issue: npt.NDArray[np.uint8]
    partial_batch: npt.NDArray[np.int64]
    partial_batches: list[list[int]]

# The count correction's result: n samples, G genes, L batch levels, p = L + covariate
# columns. Genes passed through have NaN parameters.
class _CountsResult(TypedDict):
    corrected: npt.NDArray[np.int64]  # n x G
    outcome: npt.NDArray[np.uint8]  # G: 0 corrected, 1 no reads in a batch, 2 not converged
    outcome_batch: npt.NDArray[np.int64]  # G: the batch id without reads, or -1
    coefficients: npt.NDArray[np.float64]  # p x G
    dispersion: npt.NDArray[np.float64]  # L x G
    adjusted_profile: npt.NDArray[np.float64]  # L x G
    log_likelihood: npt.NDArray[np.float64]  # G
    offset: npt.NDArray[np.float64]  # n
    tail_kept: npt.NDArray[np.int64]  # G

def combat_counts(
    counts: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    ref_batch: SupportsIndex | None = None,
    library_size: npt.NDArray[np.float64] | None = None,
    progress: Callable[[str, int, int], object] | None = None,
) -> _CountsResult: ...

def assess(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    par_prior: bool | np.bool_ = True,
    mean_only: bool | np.bool_ = False,
    ref_batch: SupportsIndex | None = None,
) -> _Assessment: ...
# Given every feature's verdict (issue codes, batch ids or -1), the complete and partial
# feature lists.
_Choose = Callable[[npt.NDArray[np.uint8], npt.NDArray[np.int64]], tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]]

def combat_partial(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    par_prior: bool | np.bool_ = True,
    mean_only: bool | np.bool_ = False,
    ref_batch: SupportsIndex | None = None,
    complete: npt.NDArray[np.int64] | None = None,
    partial: npt.NDArray[np.int64] | None = None,
    progress: Callable[[str, int, int], object] | None = None,
    exact: bool | np.bool_ = True,
    choose: _Choose | None = None,
) -> _PartialResult: ...

def fit(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    par_prior: bool | np.bool_ = True,
    mean_only: bool | np.bool_ = False,
    ref_batch: SupportsIndex | None = None,
    complete: npt.NDArray[np.int64] | None = None,
    partial: npt.NDArray[np.int64] | None = None,
    progress: Callable[[str, int, int], object] | None = None,
    exact: bool | np.bool_ = True,
    choose: _Choose | None = None,
) -> _Fit: ...
def apply(
    model: Mapping[str, object],
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    new_batches: bool | np.bool_ = False,
    progress: Callable[[str, int, int], object] | None = None,
) -> dict[str, object]: ...

# The rounds of a run fitted over chunks of features: every chunk holds all samples and
# some features; the client gathers the small per-feature records between the rounds.

# (missing, effective_mean_only, n_kept), decided once for the whole run.
_Mode = tuple[bool, bool, int]

class _Verdicts(TypedDict):
    issue: npt.NDArray[np.uint8]
    batch: npt.NDArray[np.int64]

class _Judged(TypedDict):
    issue: npt.NDArray[np.uint8]
    batch: npt.NDArray[np.int64]
    kept: npt.NDArray[np.int64]
    holds_nan: npt.NDArray[np.uint8]
    missing: bool
    judge_scales: bool
    gamma_hat: npt.NDArray[np.float64]
    delta_hat: npt.NDArray[np.float64]
    counts: npt.NDArray[np.int64]
    location_error: Exception | None

class _Settlement(TypedDict):
    settled: bool
    passes: npt.NDArray[np.int64]
    explore_from: npt.NDArray[np.int64]

# Per level: each solver pass's largest change, and the failure's detail or None.
_Trace = list[tuple[npt.NDArray[np.float64], str | None]]

def run_mode(
    batch: npt.NDArray[np.int64],
    mean_only: bool | np.bool_,
    n_kept: int,
    missing: bool,
) -> _Mode: ...
def judge(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None,
    par_prior: bool | np.bool_,
    mean_only: bool | np.bool_,
    ref_batch: SupportsIndex | None,
    missing: bool | None,
    judge_scales: bool | None,
) -> _Judged: ...
def settle(
    batch: npt.NDArray[np.int64],
    par_prior: bool | np.bool_,
    mean_only: bool | np.bool_,
    ref_batch: SupportsIndex | None,
    mode: _Mode,
    gamma_hat: npt.NDArray[np.float64],
    delta_hat: npt.NDArray[np.float64],
    counts: npt.NDArray[np.int64],
    traces: list[_Trace] | None,
) -> _Settlement: ...
class _Traced(TypedDict):
    traces: _Trace
    fit: _Fit | None

def trace(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None,
    par_prior: bool | np.bool_,
    mean_only: bool | np.bool_,
    ref_batch: SupportsIndex | None,
    complete: npt.NDArray[np.int64],
    partial: npt.NDArray[np.int64],
    mode: _Mode,
    gamma_hat: npt.NDArray[np.float64],
    delta_hat: npt.NDArray[np.float64],
    offset: int,
    explore_from: npt.NDArray[np.int64],
    exact: bool | np.bool_,
) -> _Traced: ...
def fit_chunk(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None,
    par_prior: bool | np.bool_,
    mean_only: bool | np.bool_,
    ref_batch: SupportsIndex | None,
    complete: npt.NDArray[np.int64],
    partial: npt.NDArray[np.int64],
    mode: _Mode,
    gamma_hat: npt.NDArray[np.float64],
    delta_hat: npt.NDArray[np.float64],
    offset: int,
    passes: npt.NDArray[np.int64],
    exact: bool | np.bool_,
) -> _Fit: ...

# Batches a model has not seen, estimated over chunks of its features.

class _NewBatchRecord(TypedDict):
    batch_ids: npt.NDArray[np.int64]
    sizes: npt.NDArray[np.int64]
    gamma_hat: npt.NDArray[np.float64]
    delta_hat: npt.NDArray[np.float64]
    counts: npt.NDArray[np.int64]

def new_batch_estimates(
    model: Mapping[str, object],
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None,
) -> _NewBatchRecord: ...
def settle_new_batches(
    model: Mapping[str, object],
    raw: Mapping[str, object],
    traces: list[list[tuple[npt.NDArray[np.float64], str | None] | None]] | None,
) -> _Settlement: ...
def trace_new_batches(
    model: Mapping[str, object],
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None,
    raw: Mapping[str, object],
    offset: int,
    explore_from: npt.NDArray[np.int64],
) -> list[tuple[npt.NDArray[np.float64], str | None] | None]: ...
def new_batch_posteriors(
    model: Mapping[str, object],
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None,
    raw: Mapping[str, object],
    offset: int,
    passes: npt.NDArray[np.int64],
) -> dict[str, npt.NDArray[np.generic]]: ...
