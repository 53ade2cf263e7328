"""Delimited tables read without pandas, and the bundled Quartet dataset."""

from __future__ import annotations

import gzip
from pathlib import Path

import numpy as np
import pytest

from quarnel import datasets
from quarnel._table import TableError, read_matrix, read_sample_sheet

QUARTET = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "quartet"


@pytest.mark.parametrize(
    ("text", "samples", "features", "expected"),
    [
        pytest.param('"id"\t"a"\t"b"\n"f1"\t1.5\tNA\n"f2"\t\t-2e3\n', ["a", "b"], ["f1", "f2"], [[1.5, np.nan], [np.nan, -2000.0]], id="quoted-with-corner"),
        pytest.param("a\tb\nf1\t1\t2\nf2\t3\tNaN\n", ["a", "b"], ["f1", "f2"], [[1, 3], [2, np.nan]], id="r-style-header"),
        pytest.param("x,a,b\r\nf1,1, 2 \r\nf2,N/A,4\r\n", ["a", "b"], ["f1", "f2"], [[1, np.nan], [2, 4]], id="csv-crlf-spaces"),
    ],
)
def test_read_matrix_layouts(tmp_path, text, samples, features, expected):
    path = tmp_path / ("m.csv" if "," in text else "m.tsv")
    path.write_text(text, newline="")
    matrix = read_matrix(path)
    assert (matrix.sample_names, matrix.feature_names) == (samples, features)
    np.testing.assert_array_equal(matrix.values, np.array(expected, dtype=float))


@pytest.mark.parametrize(
    ("text", "message"),
    [
        pytest.param("", "the file is empty", id="empty"),
        pytest.param("id\ta\tb\n", "a header but no data rows", id="header-only"),
        pytest.param("id\ta\tb\tc\td\nf1\t1\t2\n", "the header has 5 fields but line 2 has 3", id="header-width"),
        pytest.param("id\ta\ta\nf1\t1\t2\n", "sample 'a' appears more than once", id="duplicate-sample"),
        pytest.param("id\ta\nf1\t1\nf1\t2\n", "feature 'f1' appears more than once", id="duplicate-feature"),
        pytest.param("id\ta\nf1\t1,5\n", "line 2, column 'a': '1,5' is not a number", id="decimal-comma"),
    ],
)
def test_read_matrix_errors(tmp_path, text, message):
    path = tmp_path / "m.tsv"
    path.write_text(text)
    with pytest.raises(TableError, match=message):
        read_matrix(path)


def test_gzip_and_sample_sheet(tmp_path):
    path = tmp_path / "m.tsv.gz"
    with gzip.open(path, "wt") as handle:
        handle.write("id\ts1\ts2\nf\t1\t2\n")
    assert read_matrix(path).values.tolist() == [[1.0], [2.0]]
    sheet = tmp_path / "s.tsv"
    sheet.write_text("sample\tlab\ns1\tA\ns2\n")
    with pytest.raises(TableError, match="line 3 has 1 fields, the header has 2"):
        read_sample_sheet(sheet)


def test_quartet_loads_with_its_sample_sheet():
    data = datasets.load_quartet()
    assert data.values.shape == (48, 2539)
    assert len(set(data.batch)) == 4 and sorted(set(data.group)) == ["D5", "D6", "F7", "M8"]
    assert all(name.split("_")[-2] == donor for name, donor in zip(data.sample_names, data.group))
    assert "CC BY 4.0" in data.attribution
    assert np.count_nonzero(np.isclose(data.values, -6.644)) == 10891


@pytest.mark.skipif(not QUARTET.is_dir(), reason=f"Quartet source data not found at {QUARTET}")
def test_bundled_quartet_is_the_source_table():
    pd = pytest.importorskip("pandas")
    source = pd.read_csv(QUARTET / "proteomics_log2FOT.tsv", sep="\t", index_col=0).T
    data, sheet = datasets.load_quartet().to_frames()
    assert data.index.tolist() == source.index.tolist() and data.columns.tolist() == source.columns.tolist()
    np.testing.assert_array_equal(data.to_numpy(), source.to_numpy())
    meta = pd.read_csv(QUARTET / "proteomics_metadata.tsv", sep="\t").set_index("file").loc[data.index]
    assert sheet["batch"].tolist() == meta["batch"].tolist()


def test_quartet_as_anndata_corrects():
    pytest.importorskip("anndata")
    import quarnel

    adata = datasets.load_quartet().to_anndata()
    corrected, report = quarnel.combat(adata, "batch", "condition", return_report=True)
    assert report.n_corrected == 2526 and len(report.zero_variance_features) == 13
    assert corrected.uns["quarnel"]["covariates"] == ["condition[D6]", "condition[F7]", "condition[M8]"]
