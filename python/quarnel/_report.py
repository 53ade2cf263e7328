"""The report of one correction, with batches and features named by their labels."""

from __future__ import annotations

from collections import Counter
from collections.abc import Hashable
from dataclasses import dataclass, field
from typing import Any

from ._estimability import KINDS, count_words

__all__ = ["CombatReport"]


def _plain(label: Hashable) -> Any:
    # NumPy scalars and other exotic labels become plain Python values so that the
    # report serialises to JSON and to AnnData's .uns.
    item = getattr(label, "item", None)
    if callable(item):
        label = item()
    if isinstance(label, (str, int, float, bool)):
        return label
    return str(label)


@dataclass(frozen=True)
class CombatReport:
    """What a call of :func:`quarnel.combat` did.

    Attributes
    ----------
    batches
        The batch labels, in the order in which they were numbered (sorted, or the
        order of a pandas categorical's categories).
    batch_sizes
        Number of samples in each batch, in the order of ``batches``.
    reference
        The reference batch, or None.
    covariates
        Names of the encoded covariate columns (``"donor[F7]"`` for a one-hot level).
    parametric, mean_only
        The options as requested.
    effective_mean_only
        Whether only locations were corrected: requested, or forced by a batch of a
        single sample or by fewer than two features left to correct.
    singleton_batches
        Batches holding a single sample.
    zero_variance_features
        Features with one single value within some batch; passed through unchanged.
    unestimable_features
        Features whose batch effects cannot be estimated, with the reason for each;
        passed through unchanged (see :func:`quarnel.combat`).
    unestimable_kinds
        The same features, in the same order, with the kind of each reason: the name
        ``quarnel._engine.FEATURE_ISSUES`` gives the core's verdict (``"no_values"``,
        ``"too_large"``, ...), or ``"explained"`` when the design fits every observed
        value of the feature exactly.
    partial_features
        Features missing from whole batches that were corrected in the batches where
        they are observed, with those batches.
    n_samples, n_features
        Shape of the data, all features included.
    """

    batches: tuple[Hashable, ...]
    batch_sizes: tuple[int, ...]
    reference: Hashable | None
    covariates: tuple[str, ...]
    parametric: bool
    mean_only: bool
    effective_mean_only: bool
    singleton_batches: tuple[Hashable, ...]
    zero_variance_features: tuple[Hashable, ...]
    unestimable_features: dict[Hashable, str] = field(default_factory=dict)
    n_samples: int = 0
    n_features: int = 0
    passed_through: tuple[Hashable, ...] = ()
    partial_features: dict[Hashable, tuple[Hashable, ...]] = field(default_factory=dict)
    unestimable_kinds: dict[Hashable, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if list(self.unestimable_kinds) != list(self.unestimable_features):
            raise ValueError("unestimable_kinds must give the kind of every unestimable feature, in the same order")
        unknown = sorted({k for k in self.unestimable_kinds.values() if k not in KINDS})
        if unknown:
            raise ValueError(f"unestimable_kinds holds kinds {unknown}, not among {list(KINDS)}")

    def counts_by_kind(self) -> dict[str, int]:
        """How many unestimable features there are of each kind, most common first."""
        counts = Counter(self.unestimable_kinds.values())
        return dict(counts.most_common())

    @property
    def n_corrected(self) -> int:
        """Number of features that were corrected."""
        return self.n_features - len(self.passed_through)

    def to_dict(self) -> dict[str, Any]:
        """The report as plain lists, strings, numbers and booleans (JSON and
        ``AnnData.uns`` both take it); an absent reference is left out."""
        out: dict[str, Any] = {
            "batches": [_plain(b) for b in self.batches],
            "batch_sizes": list(self.batch_sizes),
            "covariates": list(self.covariates),
            "parametric": self.parametric,
            "mean_only": self.mean_only,
            "effective_mean_only": self.effective_mean_only,
            "singleton_batches": [_plain(b) for b in self.singleton_batches],
            "zero_variance_features": [_plain(f) for f in self.zero_variance_features],
            "unestimable_features": [_plain(f) for f in self.unestimable_features],
            "unestimable_reasons": list(self.unestimable_features.values()),
            "unestimable_kinds": list(self.unestimable_kinds.values()),
            "n_samples": self.n_samples,
            "n_features": self.n_features,
            "n_corrected": self.n_corrected,
            "partial_features": [_plain(f) for f in self.partial_features],
            "partial_batches": [[_plain(b) for b in bs] for bs in self.partial_features.values()],
        }
        if self.reference is not None:
            out["reference"] = _plain(self.reference)
        return out

    def summary(self) -> str:
        """A few lines for a person: what was corrected and what was passed through."""
        sizes = ", ".join(f"{b} ({n})" for b, n in zip(self.batches, self.batch_sizes))
        mode = "location only" if self.effective_mean_only else "location and scale"
        prior = "parametric" if self.parametric else "non-parametric"
        lines = [
            f"{self.n_samples} samples in {len(self.batches)} batches: {sizes}",
            f"corrected {self.n_corrected} of {self.n_features} features "
            f"({mode}, {prior} priors"
            + (f", covariates {', '.join(self.covariates)}" if self.covariates else "")
            + (f", reference batch {self.reference}" if self.reference is not None else "")
            + ")",
        ]
        if self.partial_features:
            n = len(self.partial_features)
            lines.append(
                f"of which {n} feature{'' if n == 1 else 's'} missing from whole batches, "
                "corrected in the batches where observed"
            )
        if self.zero_variance_features:
            n = len(self.zero_variance_features)
            lines.append(
                f"passed through unchanged: {n} feature{'' if n == 1 else 's'} "
                "constant within a batch"
            )
        if self.unestimable_features:
            detail = count_words(self.counts_by_kind())
            n = len(self.unestimable_features)
            lines.append(
                f"passed through unchanged: {n} feature{'' if n == 1 else 's'} that "
                f"cannot be estimated ({detail})"
            )
        if self.singleton_batches:
            lines.append(
                "batches of a single sample (scale not corrected): "
                + ", ".join(str(b) for b in self.singleton_batches)
            )
        return "\n".join(lines)

