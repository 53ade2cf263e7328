"""Pinned output bits of a fixed set of corrections, one per option combination.

Optimisations of the core must not change a single bit of any result (the order of the
sums the model forms is part of its definition). The hashes were recorded when the
implementation was first complete; a change that moves any bit fails here and has to say
why. The non-parametric path calls the C library's exp and log, whose last bit may
differ between C libraries, so the hashes are checked only on the platform they were
recorded on. Record anew with ``python tests/test_output_hashes.py --record``.
"""

from __future__ import annotations

import hashlib
import itertools
import json
import platform
import sys
from pathlib import Path

import numpy as np
import pytest

import _quarnel

HASHES = Path(__file__).with_name("output_hashes.json")

CASES = {
    f"par={par}-mean={mean}-ref={ref}-cov={cov}-nan={nan}": dict(
        par_prior=par, mean_only=mean, ref_batch=ref, covariates=cov, missing=nan
    )
    for par, mean, ref, cov, nan in itertools.product(
        [True, False], [False, True], [None, 4], [False, True], [False, True]
    )
}
# Features missing from whole batches, corrected where they are observed, and batches a
# fitted model has not seen, estimated when it is applied: through the public calls.
PUBLIC_CASES = {
    f"{kind}-par={par}-mean={mean}-exact={exact}": dict(kind=kind, parametric=par, mean_only=mean, exact=exact)
    for kind, par, mean, exact in itertools.product(
        ["partial", "new-batches"], [True, False], [False, True], [True, False]
    )
    if not (par and not exact)  # exact is the non-parametric estimate's choice
}


def platform_key() -> str:
    libc, version = platform.libc_ver()
    return f"{platform.machine()}-{libc}{version}"


def problem(covariates: bool, missing: bool):
    rng = np.random.default_rng(1234)
    sizes = [31, 47, 22, 40]
    batch = np.repeat(np.arange(4, dtype=np.int64), sizes) * 3 + 1  # ids 1, 4, 7, 10
    level = np.repeat(np.arange(4), sizes)
    n, g = sum(sizes), 90
    values = (
        rng.normal(0.0, 2.0, g)
        + rng.normal(0.0, 1.0, (4, g))[level]
        + np.sqrt(rng.gamma(4.0, 0.25, (4, g)))[level] * rng.normal(0.0, 1.0, (n, g))
    )
    values[level == 1, 6] = -1.0  # zero variance in one batch
    mod = None
    if covariates:
        mod = np.column_stack([np.ones(n), rng.normal(0.0, 1.0, n), rng.integers(0, 2, n)])
        values += mod[:, 1:] @ rng.normal(0.0, 0.5, (2, g))
    if missing:
        values[rng.random(values.shape) < 0.02] = np.nan
    values[:, 5] = 2.5  # zero variance everywhere
    return np.ascontiguousarray(values), batch, mod


def digest(name: str) -> str:
    case = CASES[name]
    values, batch, mod = problem(case["covariates"], case["missing"])
    result = _quarnel.combat(
        values,
        batch,
        mod=mod,
        par_prior=case["par_prior"],
        mean_only=case["mean_only"],
        ref_batch=case["ref_batch"],
    )
    h = hashlib.sha256(result["adjusted"].tobytes())
    h.update(repr(result["report"]).encode())
    return h.hexdigest()


def public_digest(name: str) -> str:
    import warnings

    import quarnel

    case = PUBLIC_CASES[name]
    values, batch, mod = problem(True, True)
    options = dict(parametric=case["parametric"], mean_only=case["mean_only"], exact=case["exact"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if case["kind"] == "partial":
            values[batch == 4, 11] = np.nan
            values[(batch == 7) | (batch == 10), 12] = np.nan
            values[batch == 1, 13] = np.nan
            values[np.flatnonzero(batch == 10)[1:], 13] = np.nan  # one value left there
            adjusted = quarnel.combat(values, batch, mod[:, 1:], **options)
        else:
            seen = batch != 7
            new = ~seen | (np.arange(batch.size) % 3 == 0)
            labels = np.where(batch == 10, 13, batch)
            labels[np.flatnonzero(batch == 10)[::2]] = 16  # two new batches, one of them split off
            model = quarnel.fit(values[seen], batch[seen], mod[seen, 1:], **options)
            adjusted = model.transform(values[new], labels[new], mod[new, 1:], new_batches="estimate")
    return hashlib.sha256(np.ascontiguousarray(adjusted).tobytes()).hexdigest()


def recorded() -> dict:
    return json.loads(HASHES.read_text()) if HASHES.exists() else {}


# Every pinned case with the function that computes its digest: the compiled call's, and
# the public calls' for partial features and new batches.
DIGESTS = {**{name: digest for name in CASES}, **{name: public_digest for name in PUBLIC_CASES}}


@pytest.mark.parametrize("mode", ["0", "1"], ids=["serial", "parallel"])
@pytest.mark.parametrize("name", list(DIGESTS))
def test_output_bits_are_unchanged(monkeypatch, name, mode):
    pinned = recorded().get(platform_key())
    if pinned is None:
        pytest.skip(f"no hashes recorded for {platform_key()}")
    monkeypatch.setenv("QUARNEL_PARALLEL", mode)
    assert DIGESTS[name](name) == pinned[name]


if __name__ == "__main__" and "--record" in sys.argv:
    table = recorded()
    table[platform_key()] = {name: compute(name) for name, compute in DIGESTS.items()}
    HASHES.write_text(json.dumps(table, indent=1, sort_keys=True) + "\n")
    print(f"recorded {len(table[platform_key()])} hashes for {platform_key()}")
