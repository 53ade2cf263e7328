"""A scikit-learn transformer that removes batch effects, for use inside a Pipeline.

The batch of each sample is not a feature and not the target, so it reaches the
transformer as metadata: turn scikit-learn's metadata routing on and request it::

    import sklearn
    from sklearn.pipeline import make_pipeline
    from sklearn.linear_model import LogisticRegression
    from quarnel.sklearn import CombatTransformer

    sklearn.set_config(enable_metadata_routing=True)
    combat = CombatTransformer().set_fit_request(batch=True).set_transform_request(batch=True)
    pipe = make_pipeline(combat, LogisticRegression())
    pipe.fit(X_train, y_train, batch=batch_train)
    pipe.predict(X_test, batch=batch_test)

Needs scikit-learn (``pip install scikit-learn``); ``import quarnel`` does not.
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any

try:
    from sklearn.base import BaseEstimator, TransformerMixin
    from sklearn.utils.validation import check_is_fitted
except ImportError as err:
    raise ImportError(
        "quarnel.sklearn needs scikit-learn, which is not installed: pip install scikit-learn "
        "(quarnel.fit and CombatModel.transform work without it)"
    ) from err

from ._model import CombatModel, fit

__all__ = ["CombatTransformer"]


class CombatTransformer(TransformerMixin, BaseEstimator):
    """Empirical-Bayes batch correction as a scikit-learn transformer.

    ``fit`` learns a :class:`quarnel.CombatModel` (kept as ``model_``) and ``transform``
    removes its batch effects; both need ``batch``, one label per sample, passed as
    metadata. Samples of batches not seen by ``fit`` are an error unless
    ``new_batches="estimate"``. The parameters are those of :func:`quarnel.fit`.
    """

    def __init__(
        self,
        *,
        parametric: bool = True,
        mean_only: bool = False,
        reference: Hashable | None = None,
        unestimable: str = "pass",
        partial_batches: str = "correct",
        new_batches: str = "error",
    ) -> None:
        self.parametric = parametric
        self.mean_only = mean_only
        self.reference = reference
        self.unestimable = unestimable
        self.partial_batches = partial_batches
        self.new_batches = new_batches

    def fit(self, X: Any, y: Any = None, *, batch: Any = None, covariates: Any = None) -> CombatTransformer:
        """Learn the batch effects of ``X``; ``y`` is ignored."""
        self.model_ = fit(
            X, _required(batch, "fit"), covariates, parametric=self.parametric,
            mean_only=self.mean_only, reference=self.reference, unestimable=self.unestimable,  # type: ignore[arg-type]
            partial_batches=self.partial_batches, progress=False,  # type: ignore[arg-type]
        )
        self.n_features_in_ = len(self.model_.features)
        return self

    def transform(self, X: Any, *, batch: Any = None, covariates: Any = None) -> Any:
        """``X`` with the fitted batch effects removed."""
        check_is_fitted(self, "model_")
        return self.model_.transform(
            X, _required(batch, "transform"), covariates, new_batches=self.new_batches,  # type: ignore[arg-type]
            progress=False,
        )

    def fit_transform(self, X: Any, y: Any = None, *, batch: Any = None, covariates: Any = None) -> Any:
        """Fit, then correct ``X`` itself (the same values as :func:`quarnel.combat`)."""
        return self.fit(X, y, batch=batch, covariates=covariates).transform(X, batch=batch, covariates=covariates)


def _required(batch: Any, method: str) -> Any:
    if batch is None:
        raise ValueError(
            f"CombatTransformer.{method} needs batch=, one label per sample; inside a "
            "Pipeline, enable metadata routing (sklearn.set_config(enable_metadata_routing="
            f"True)) and request it with set_{method}_request(batch=True)"
        )
    return batch
