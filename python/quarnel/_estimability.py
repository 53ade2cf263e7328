"""What the compiled core says about each feature, in words.

The core is the one judge of which features it can estimate: ``quarnel._engine.assess``
carries out, feature by feature, the stages of a run that can fail for one feature alone
and returns each feature's verdict as a code, with the batch it concerns. This module
only names the codes.
"""

from __future__ import annotations

from collections.abc import Hashable

__all__ = ["CONSTANT", "ESTIMABLE", "KINDS", "LEVEL_FITTED", "NO_VALUES", "SUMMARY", "kind_of", "reason"]

# The core's verdict codes.
ESTIMABLE = 0
CONSTANT = 1  # constant within a batch: the core passes it through itself
NO_VALUES = 2  # a batch holds no observed value: corrected where observed, if asked
LEVEL_FITTED = 11  # the design fits every observed value of a batch exactly

# Kind of each code that keeps a feature from being estimated, and how it reads in a
# report; "{batch!r}" is filled when the verdict names a batch.
KINDS: dict[int, tuple[str, str]] = {
    2: ("no_values", "no observed value in batch {batch!r}"),
    3: ("few_values", "fewer than two observed values in batch {batch!r}"),
    4: ("no_residual", "too few observed values to estimate the residual variance"),
    5: ("design", "covariate effects cannot be estimated from the observed samples"),
    6: ("constant", "observed values all equal in batch {batch!r}"),
    7: ("numerical", "its own estimates failed numerically"),
    8: ("one_batch", "observed in fewer than two batches"),
    9: ("no_reference", "not observed in reference batch {batch!r}"),
    10: ("no_prior", "too few fully observed features to form priors"),
    11: ("level_fitted", "the design fits every value of batch {batch!r} exactly, leaving it no spread"),
    12: ("too_large", "values too large to square in double precision (residuals beyond about 1e154): scale them down"),
}
# Without a batch to name, an equal-values verdict means the design (the batches and the
# covariates) fits every observed value exactly, and reads as this.
_NO_SPREAD = "the design fits its observed values exactly, leaving no spread to estimate a variance from"

# The same kinds in a count: "12 with no observed value in some batch".
SUMMARY: dict[str, str] = {
    "no_values": "with no observed value in some batch",
    "few_values": "with fewer than two observed values in some batch",
    "no_residual": "with too few observed values for the residual variance",
    "design": "whose covariate effects cannot be estimated",
    "constant": "with all observed values equal in some batch",
    "explained": "whose observed values the design fits exactly",
    "numerical": "whose own estimates failed numerically",
    "one_batch": "observed in fewer than two batches",
    "no_reference": "not observed in the reference batch",
    "no_prior": "without priors from fully observed features",
    "level_fitted": "whose values in some batch the design fits exactly",
    "too_large": "whose values are too large to square",
}


def reason(code: int, batch: int, levels: tuple[Hashable, ...], reference: int | None = None) -> str:
    """The reason for a verdict, naming its batch by label (``batch`` is a level, or -1)."""
    kind, template = KINDS[code]
    if "{batch" not in template:
        return template
    if batch < 0:
        return _NO_SPREAD
    if kind == "few_values" and batch == reference:
        # The pooled variance comes from the reference batch alone.
        template = template.replace("in batch", "in reference batch")
    return template.format(batch=levels[batch])


def kind_of(text: str) -> str:
    """The kind of a rendered reason."""
    if text == _NO_SPREAD:
        return "explained"
    for kind, template in KINDS.values():
        if text.startswith(template.split("{")[0].removesuffix("batch ")):
            return kind
    raise KeyError(text)
