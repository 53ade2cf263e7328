"""What the compiled core says about each feature, in words.

The core is the one judge of which features it can estimate: ``quarnel._engine.assess``
carries out, feature by feature, the stages of a run that can fail for one feature alone
and returns each feature's verdict as a code, with the batch it concerns. The engine
names its codes in ``_engine.FEATURE_ISSUES`` (the code is the position); this module
takes the codes from those names and words each kind of verdict.

A verdict's kind is the engine's name for its code, with one refinement: equal values
that concern no particular batch mean the design fits every observed value exactly, and
count as the kind ``"explained"``. Reports keep the kind beside the words, so that
nothing ever reads a kind back from a sentence.
"""

from __future__ import annotations

from collections.abc import Collection, Hashable
from typing import NamedTuple

from . import _engine

__all__ = [
    "CODE", "CONSTANT", "ESTIMABLE", "EXPLAINED", "KINDS", "LEVEL_FITTED", "NO_VALUES", "WORDS",
    "count_words", "kind", "reason",
]

# The engine's verdict codes, by its names.
CODE: dict[str, int] = {name: code for code, name in enumerate(_engine.FEATURE_ISSUES)}


class Words(NamedTuple):
    """How a kind of verdict reads: ``reason`` for one feature ("{batch!r}" is filled with
    the label of the batch it concerns), ``count`` after a number ("12 with no observed
    value in some batch")."""

    reason: str
    count: str


# Verdicts that do not keep a feature from being estimated: estimated, or constant within
# a batch, which the core passes through itself and reports as such. They have no words.
NOT_UNESTIMABLE = ("none", "constant")

WORDS: dict[str, Words] = {
    "no_values": Words(
        "no observed value in batch {batch!r}",
        "with no observed value in some batch"),
    "few_values": Words(
        "fewer than two observed values in batch {batch!r}",
        "with fewer than two observed values in some batch"),
    "no_residual": Words(
        "too few observed values to estimate the residual variance",
        "with too few observed values for the residual variance"),
    "singular": Words(
        "covariate effects cannot be estimated from the observed samples",
        "whose covariate effects cannot be estimated"),
    "equal_values": Words(
        "observed values all equal in batch {batch!r}",
        "with all observed values equal in some batch"),
    "numerical": Words(
        "its own estimates failed numerically",
        "whose own estimates failed numerically"),
    "one_batch": Words(
        "observed in fewer than two batches",
        "observed in fewer than two batches"),
    "no_reference": Words(
        "not observed in reference batch {batch!r}",
        "not observed in the reference batch"),
    "no_prior": Words(
        "too few fully observed features to form priors",
        "without priors from fully observed features"),
    "level_fitted": Words(
        "the design fits every value of batch {batch!r} exactly, leaving it no spread",
        "whose values in some batch the design fits exactly"),
    "too_large": Words(
        "values too large to square in double precision (residuals beyond about 1e154): scale them down",
        "whose values are too large to square"),
    # equal_values without a batch: the design (the batches and the covariates) fits every
    # observed value exactly.
    "explained": Words(
        "the design fits its observed values exactly, leaving no spread to estimate a variance from",
        "whose observed values the design fits exactly"),
}
EXPLAINED = "explained"
# The kind a verdict takes when it names no batch although its words name one.
_WITHOUT_BATCH = {"equal_values": EXPLAINED}


def check_words(names: Collection[str]) -> None:
    """Fail unless every verdict the engine names (``names``, its FEATURE_ISSUES) has words
    here and every kind worded here is one the engine names or a refinement of one."""
    missing = [n for n in names if n not in WORDS and n not in NOT_UNESTIMABLE]
    if missing:
        raise RuntimeError(
            f"quarnel._engine reports feature verdicts {missing} that quarnel._estimability "
            "has no words for: add them to WORDS"
        )
    absent = [n for n in (*NOT_UNESTIMABLE, *_WITHOUT_BATCH) if n not in names]
    stale = [k for k in WORDS if k not in names and k not in _WITHOUT_BATCH.values()]
    if absent or stale:
        raise RuntimeError(
            f"quarnel._estimability words feature verdicts {absent + stale} that "
            f"quarnel._engine does not report (it reports {list(names)})"
        )


check_words(_engine.FEATURE_ISSUES)

ESTIMABLE = CODE["none"]
CONSTANT = CODE["constant"]  # constant within a batch: the core passes it through itself
NO_VALUES = CODE["no_values"]  # a batch holds no observed value: corrected where observed, if asked
LEVEL_FITTED = CODE["level_fitted"]  # the design fits every observed value of a batch exactly

# Every kind a report may give an unestimable feature.
KINDS: tuple[str, ...] = tuple(WORDS)


def kind(code: int, batch: int) -> str:
    """The kind of a verdict (``batch`` is the level it concerns, or -1)."""
    name = _engine.FEATURE_ISSUES[code]
    if name in NOT_UNESTIMABLE:
        raise RuntimeError(f"the engine's verdict {name!r} does not keep a feature from being estimated")
    if batch < 0 and name in _WITHOUT_BATCH:
        return _WITHOUT_BATCH[name]
    return name


def reason(code: int, batch: int, levels: tuple[Hashable, ...], reference: int | None = None) -> str:
    """The reason for a verdict, naming its batch by label (``batch`` is a level, or -1)."""
    which = kind(code, batch)
    template = WORDS[which].reason
    if "{batch" not in template:
        return template
    if batch < 0:
        raise RuntimeError(f"the engine's verdict {which!r} names no batch, but its words need one")
    if which == "few_values" and batch == reference:
        # The pooled variance comes from the reference batch alone.
        template = template.replace("in batch", "in reference batch")
    return template.format(batch=levels[batch])


def count_words(counts: dict[str, int]) -> str:
    """Counts by kind in words, most common first: "3 whose values are too large to
    square; 1 observed in fewer than two batches"."""
    ordered = sorted(counts.items(), key=lambda item: -item[1])
    return "; ".join(f"{n} {WORDS[k].count}" for k, n in ordered)
