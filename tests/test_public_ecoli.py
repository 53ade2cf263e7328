"""The public layer on real data: the E. coli five-lab proteomics table.

The table is raw intensities with 14 % missing values; 786 proteins have no value at
all in at least one lab, which makes ``_quarnel.combat`` fail on the whole matrix.
"""

from __future__ import annotations

import warnings
from pathlib import Path

import numpy as np
import pytest

import _quarnel
import quarnel
from quarnel import _cli
from quarnel._table import read_matrix

# CI lays shared/ beside the repository.
ECOLI = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "ecoli_proteomics"
pytestmark = pytest.mark.skipif(
    not ECOLI.is_dir(), reason=f"E. coli proteomics data not found at {ECOLI} (shared/ beside the repository)"
)
pd = pytest.importorskip("pandas")


@pytest.fixture(scope="module")
def ecoli():
    raw = pd.read_csv(ECOLI / "central_intensities.tsv", sep="\t")  # R layout: proteins x samples
    sheet = pd.read_csv(ECOLI / "central_batch_info.tsv", sep="\t", index_col="rowname")
    data = np.log2(raw.T)
    return data, sheet.loc[data.index]


def same_bits(a, b) -> bool:
    return a.shape == b.shape and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()


def test_the_table_is_what_the_tests_assume(ecoli):
    data, sheet = ecoli
    assert data.shape == (118, 3059)
    assert np.isnan(data.to_numpy()).mean() == pytest.approx(0.142, abs=0.001)
    ids = pd.factorize(sheet["lab"], sort=True)[0].astype(np.int64)
    with pytest.raises(RuntimeError, match="singular design matrix"):
        _quarnel.combat(np.ascontiguousarray(data.to_numpy()), ids)


MODES = [
    pytest.param({}, {}, id="parametric"),
    pytest.param({"mean_only": True}, {"mean_only": True}, id="mean-only"),
    pytest.param({"covariates": "condition"}, {"condition": True}, id="condition-covariate"),
    pytest.param({"reference": "lab_B"}, {"ref_batch": 1}, id="reference-lab_B"),
]


@pytest.mark.parametrize(("public", "bare"), MODES)
def test_ecoli_is_corrected_except_the_proteins_missing_from_a_lab(ecoli, public, bare):
    data, sheet = ecoli
    with pytest.warns(quarnel.UnestimableFeatureWarning, match=r"^786 of 3059 features"):
        corrected, report = quarnel.combat(
            data, "lab", samples=sheet, return_report=True, partial_batches="pass", **public
        )
    # Independently: the proteins with no value in some lab.
    absent = data.notna().groupby(sheet["lab"]).sum().eq(0).any()
    assert set(report.unestimable_features) == set(absent[absent].index)
    assert all(r.startswith("no observed value in batch 'lab_") for r in report.unestimable_features.values())
    passed = list(report.unestimable_features)
    assert same_bits(corrected[passed].to_numpy(), data[passed].to_numpy())
    kept = [c for c in data.columns if c not in report.unestimable_features]
    ids = pd.factorize(sheet["lab"], sort=True)[0].astype(np.int64)
    kwargs = dict(bare)
    if kwargs.pop("condition", False):
        kwargs["mod"] = (sheet["condition"].to_numpy() == "Pyr").astype(np.float64)[:, None]
    expected = _quarnel.combat(np.ascontiguousarray(data[kept].to_numpy()), ids, **kwargs)["adjusted"]
    assert same_bits(corrected[kept].to_numpy(), expected)
    assert corrected.isna().equals(data.isna())


@pytest.mark.parametrize("options", [{}, {"parametric": False}], ids=["parametric", "nonparametric"])
def test_ecoli_proteins_missing_from_a_lab_are_corrected_where_observed(ecoli, options):
    data, sheet = ecoli
    with pytest.warns(quarnel.UnestimableFeatureWarning, match=r"^192 of 3059 features"):
        corrected, report = quarnel.combat(data, "lab", samples=sheet, return_report=True, **options)
    labs_seen = data.notna().groupby(sheet["lab"]).sum().gt(0).sum()
    assert set(report.unestimable_features) == set(labs_seen[labs_seen < 2].index)
    assert len(report.partial_features) == 594 and report.n_corrected == 2867
    for protein, labs in list(report.partial_features.items())[:50]:
        assert set(labs) == set(sheet["lab"][data[protein].notna()])
    complete = [c for c in data.columns if labs_seen[c] == sheet["lab"].nunique()]
    alone = quarnel.combat(data[complete], "lab", samples=sheet, **options)
    assert same_bits(corrected[complete].to_numpy(), alone.to_numpy())
    # The lab offsets of the partial proteins are gone as well.
    partial = list(report.partial_features)
    before = quarnel.batch_silhouette(data[partial].fillna(data[partial].mean()), sheet["lab"])
    after = quarnel.batch_silhouette(corrected[partial].fillna(corrected[partial].mean()), sheet["lab"])
    assert before > 0.3 and after < 0.1


def test_ecoli_batch_structure_is_removed_and_condition_kept(ecoli):
    data, sheet = ecoli
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        corrected = quarnel.combat(data, "lab", "condition", samples=sheet)
    scores = quarnel.correction_scores(data, corrected, sheet["lab"], sheet["condition"])
    assert scores.batch_before > 0.5
    assert scores.batch_after < 0.1
    assert scores.group_after > scores.group_before + 0.3


def test_ecoli_through_the_command_line(tmp_path, capsys):
    out = tmp_path / "corrected.tsv"
    status = _cli.main([
        "correct", str(ECOLI / "central_intensities.tsv"), "--samples", str(ECOLI / "central_batch_info.tsv"),
        "--batch", "lab", "--covariates", "condition", "--log2", "--output", str(out), "--report", str(tmp_path / "r.json"),
    ])
    printed = capsys.readouterr().out
    assert status == 0
    # With the condition as covariate, 5 partial proteins are observed in only one
    # condition of the labs that saw them: their own design is singular.
    assert "197 features that cannot be estimated (192 observed in fewer than two batches; 5 whose covariate effects cannot be estimated)" in printed
    assert "corrected 2862 of 3059 features" in printed
    assert "of which 589 features missing from whole batches" in printed
    # Written back in the R layout it came in: no corner cell, proteins in rows.
    header = out.read_text().split("\n", 1)[0].split("\t")
    assert len(header) == 118 and header[0] == "Ref8537_QC1_20230414_1"
    written, original = read_matrix(out), read_matrix(ECOLI / "central_intensities.tsv")
    assert written.feature_names == original.feature_names and written.sample_names == original.sample_names
    with np.errstate(invalid="ignore"):
        logged = np.log2(original.values)
    sheet = pd.read_csv(ECOLI / "central_batch_info.tsv", sep="\t", index_col="rowname").loc[original.sample_names]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        expected = quarnel.combat(logged, sheet["lab"].to_numpy(), sheet["condition"].to_numpy())
    assert same_bits(written.values, expected)
