"""The quarnel command line: files in, files out, errors and exit codes."""

from __future__ import annotations

import gzip
import json
import os
import signal
import warnings
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quarnel
from quarnel import _cli
from quarnel._files import TEMPORARY_PREFIX
from quarnel._plot import correction_scores
from quarnel._table import read_matrix

N_FEATURES = 9
SAMPLES = [f"S{i}" for i in range(12)]
LAB = ["L1"] * 4 + ["L2"] * 4 + ["L3"] * 4
COND = ["x", "y"] * 6


def values():
    rng = np.random.default_rng(11)
    level = np.repeat(np.arange(3), 4)
    data = 2.0 ** (8.0 + rng.normal(0, 1, (3, N_FEATURES))[level] + rng.normal(0, 0.5, (12, N_FEATURES)))
    data[level == 2, 5] = np.nan  # P5 is never seen by lab L3
    data[1, 2] = np.nan
    return data


def write_matrix(path: Path, data: np.ndarray, *, sep="\t", samples_in_rows=False, corner='"rowname"'):
    features = [f'"P{j}"' for j in range(N_FEATURES)]
    cells = lambda row: [("NA" if np.isnan(v) else repr(float(v))) for v in row]
    if samples_in_rows:
        lines = [sep.join([corner, *features])] + [sep.join([s, *cells(r)]) for s, r in zip(SAMPLES, data)]
    else:
        lines = [sep.join([corner, *SAMPLES])] + [sep.join([f, *cells(c)]) for f, c in zip(features, data.T)]
    path.write_text("\n".join(lines) + "\n")
    return path


def write_sheet(path: Path, rows=None, sep="\t"):
    rows = rows if rows is not None else list(zip(SAMPLES, LAB, COND))
    path.write_text("\n".join(sep.join(r) for r in [("sample", "lab", "condition"), *rows]) + "\n")
    return path


@pytest.fixture
def files(tmp_path):
    return write_matrix(tmp_path / "m.tsv", values()), write_sheet(tmp_path / "s.tsv"), tmp_path


def run(*args):
    return _cli.main([str(a) for a in args])


def test_correct_writes_the_same_layout_and_the_function_s_values(files, capsys):
    matrix, sheet, tmp = files
    out = tmp / "out.tsv"
    status = run("correct", matrix, "-s", sheet, "-b", "lab", "-c", "condition", "--log2", "-o", out, "--report", tmp / "r.json")
    printed = capsys.readouterr()
    assert status == 0, printed.err
    text = out.read_text()
    assert text.split("\n", 1)[0] == "\t".join(["rowname", *SAMPLES])
    assert [line.split("\t")[0] for line in text.splitlines()[1:]] == [f"P{j}" for j in range(N_FEATURES)]
    with warnings.catch_warnings():  # P5 misses a lab: corrected where observed
        expected = quarnel.combat(np.log2(values()), LAB, np.array(COND))
    got = read_matrix(out).values
    assert got.tobytes() == expected.tobytes()
    assert "of which 1 feature missing from whole batches, corrected in the batches where observed" in printed.out
    report = json.loads((tmp / "r.json").read_text())
    assert report["partial_features"] == ["P5"] and report["partial_batches"] == [["L1", "L2"]]
    assert report["unestimable_features"] == [] and report["covariates"] == ["condition[y]"]
    assert report["silhouette"]["batch_after"] < report["silhouette"]["batch_before"]


def test_samples_in_rows_csv_round_trip(tmp_path):
    data = np.log2(values())
    matrix = write_matrix(tmp_path / "m.csv", data, sep=",", samples_in_rows=True, corner="id")
    sheet = write_sheet(tmp_path / "s.csv", [(s, lab, c) for s, lab, c in reversed(list(zip(SAMPLES, LAB, COND)))], sep=",")
    out = tmp_path / "out.csv"
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "--samples-in-rows", "--mean-only", "--reference", "L2", "-o", out, "-q") == 0
    lines = out.read_text().splitlines()
    assert lines[0] == ",".join(["id", *(f"P{j}" for j in range(N_FEATURES))])
    assert [line.split(",")[0] for line in lines[1:]] == SAMPLES
    with warnings.catch_warnings():  # P5 misses a lab: corrected where observed
        expected = quarnel.combat(data, LAB, mean_only=True, reference="L2")
    assert read_matrix(out, samples_in_rows=True).values.tobytes() == expected.tobytes()


def test_extra_sample_sheet_rows_are_an_error_unless_allowed(files, capsys):
    matrix, _, tmp = files
    sheet = write_sheet(tmp / "more.tsv", [*zip(SAMPLES, LAB, COND), ("S99", "L1", "x")])
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "-o", tmp / "o.tsv") == 3
    assert "1 samples of the sample sheet" in capsys.readouterr().err
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "-o", tmp / "o.tsv", "--allow-extra-samples", "-q") == 0


def _bad_cell(tmp):
    text = (tmp / "m.tsv").read_text().replace("\tNA", "\tabc", 1)
    (tmp / "m.tsv").write_text(text)


def _ragged(tmp):
    (tmp / "m.tsv").write_text((tmp / "m.tsv").read_text() + '"P99"\t1\t2\n')


def _missing_sample(tmp):
    write_sheet(tmp / "s.tsv", list(zip(SAMPLES, LAB, COND))[1:])


def _duplicate_sample(tmp):
    write_sheet(tmp / "s.tsv", [*zip(SAMPLES, LAB, COND), (SAMPLES[0], "L1", "x")])


def _empty_batch_cell(tmp):
    write_sheet(tmp / "s.tsv", [(s, "" if s == "S3" else lab, c) for s, lab, c in zip(SAMPLES, LAB, COND)])


def _nothing(tmp):
    pass


def _binary(tmp):
    (tmp / "m.tsv").write_bytes(b"\xff\xfe\x00bad")


def _commas_in_tsv(tmp):
    write_matrix(tmp / "m.tsv", values(), sep=",")
    write_sheet(tmp / "s.tsv", sep=",")


def _one_condition(tmp):
    write_sheet(tmp / "s.tsv", [(s, lab, "x") for s, lab in zip(SAMPLES, LAB)])


def _commas_in_sheet(tmp):
    write_sheet(tmp / "s.tsv", sep=",")


ERRORS = [
    pytest.param(_nothing, ["--samples", "nope.tsv"], 3, "nope.tsv: no such file", id="missing-sheet"),
    pytest.param(_nothing, ["--matrix-instead"], 2, "unrecognized arguments", id="unknown-option"),
    pytest.param(_bad_cell, [], 3, "m.tsv: line 4, column 'S1': 'abc' is not a number", id="non-numeric-cell"),
    pytest.param(_ragged, [], 3, "m.tsv: line 11 has 3 fields, expected 13", id="ragged-line"),
    pytest.param(_binary, [], 3, "cannot be read as UTF-8 text", id="unreadable-file"),
    pytest.param(_missing_sample, [], 3, "1 samples of the matrix are not in the sample sheet", id="sample-missing-from-sheet"),
    pytest.param(_duplicate_sample, [], 3, "sample 'S0' is listed more than once", id="duplicate-sheet-row"),
    pytest.param(_empty_batch_cell, [], 3, "batch column 'lab' is empty for sample 'S3'", id="empty-batch-cell"),
    pytest.param(_nothing, ["-b", "site"], 3, "unknown batch column 'site'; the sample sheet", id="unknown-batch-column"),
    pytest.param(_nothing, ["-c", "age"], 3, "unknown covariate column 'age'", id="unknown-covariate-column"),
    pytest.param(_nothing, ["--sample-column", "name"], 3, "no column 'name' to match samples by", id="unknown-sample-column"),
    pytest.param(_nothing, ["--reference", "L9"], 3, "--reference 'L9' is not a batch of column 'lab'", id="unknown-reference"),
    pytest.param(_nothing, ["--log2", "--log2-pseudo"], 2, "unrecognized arguments", id="typo-option"),
    pytest.param(_nothing, ["--pseudocount", "1"], 3, "--pseudocount is added before the log2 transform", id="pseudocount-without-log"),
    pytest.param(_nothing, ["--strict", "--log2"], 4, "the correction failed: 1 feature cannot be estimated: 'P5' (no observed value in batch 'L3') (without --strict they are passed through unchanged)", id="strict-unestimable"),
    pytest.param(_nothing, ["-c", "lab"], 4, "covariate column 0 is collinear with batch indicators ('lab[L2]' is constant within every batch)", id="collinear-covariate"),
    pytest.param(_nothing, ["-o", "/nonexistent-dir/o.tsv"], 3, "/nonexistent-dir/o.tsv: cannot be written", id="unwritable-output"),
    # Outputs are checked before the inputs are read: the broken matrix is never reached.
    pytest.param(_bad_cell, ["--report", "/nonexistent-dir/r.json"], 3, "/nonexistent-dir/r.json: cannot be written", id="unwritable-report-first"),
    pytest.param(_bad_cell, ["--figure", "."], 3, ".: is a folder; --figure needs a file name", id="figure-is-a-folder"),
    pytest.param(_bad_cell, ["--figure", "f.docx"], 2, "matplotlib cannot write .docx files; it writes", id="figure-format"),
    pytest.param(_nothing, ["-o", "{tmp}/m.tsv"], 2, "m.tsv is the matrix, which would be overwritten", id="output-is-the-matrix"),
    pytest.param(_nothing, ["--report", "{tmp}/s.tsv"], 2, "--report {tmp}/s.tsv is the sample sheet", id="report-is-the-sheet"),
    pytest.param(_nothing, ["--report", "{tmp}/o.tsv"], 2, "--report and --output both name", id="two-outputs-one-file"),
    pytest.param(_nothing, ["--categorical", "condition"], 2, "--categorical condition: not among the --covariates []", id="categorical-not-a-covariate"),
    pytest.param(_nothing, ["--digits", "0"], 2, "'0' is not a whole number from 1 to 17", id="digits-out-of-range"),
    pytest.param(_commas_in_tsv, [], 3, "m.tsv: the table has no data columns when read as tab-separated (by its name); if it is comma-separated, give it a .csv name", id="wrong-delimiter"),
    pytest.param(_one_condition, ["--figure", "{tmp}/f.png", "--group", "condition"], 4, "the figure cannot be drawn: group needs at least two distinct labels", id="figure-from-one-group"),
    pytest.param(_commas_in_sheet, [], 3, "s.tsv: the sample sheet has a single column when read as tab-separated", id="wrong-sheet-delimiter"),
]


@pytest.mark.parametrize(("damage", "extra", "status", "message"), ERRORS)
def test_errors_and_exit_codes(files, capsys, damage, extra, status, message):
    matrix, sheet, tmp = files
    damage(tmp)
    # Later options win, so a case's own -s, -b or -o replaces the one given here.
    args = ["correct", matrix, "-s", sheet, "-b", "lab", "-o", tmp / "o.tsv", *(str(e).format(tmp=tmp) for e in extra)]
    message = message.format(tmp=tmp)
    if status == 2:
        with pytest.raises(SystemExit) as exited:
            run(*args)
        assert exited.value.code == 2
    else:
        assert run(*args) == status
    err = capsys.readouterr().err
    assert message in err
    assert "Traceback" not in err
    if status != 2:
        assert err.startswith("quarnel: error: ")


@pytest.mark.parametrize(
    ("cell", "log2", "message", "fixed_by"),
    [
        pytest.param("0", True, "1 are zero after adding the pseudocount 0 (first: feature 'P2', sample 'S3': 0) and log2(0) is -inf; add a pseudocount such as --pseudocount 1", ["--log2", "--pseudocount", "1"], id="zero"),
        pytest.param("-1.5", True, "1 are negative after adding the pseudocount 0 (first: feature 'P2', sample 'S3': -1.5); a table with negative values is usually on a log scale already: leave out --log2", [], id="negative"),
        pytest.param("-inf", True, "holds 1 infinite values (first: feature 'P2', sample 'S3': -inf); a -inf comes from the log of zero, so the table is probably on a log scale already: leave out --log2", None, id="minus-inf-with-log2"),
        pytest.param("-inf", False, "a -inf comes from the log of zero: write missing values as NA, or correct the raw values with --log2 --pseudocount 1", None, id="minus-inf"),
        pytest.param("inf", False, "holds 1 infinite values (first: feature 'P2', sample 'S3': inf); write missing values as NA", None, id="plus-inf"),
    ],
)
def test_values_that_cannot_be_used_get_a_message_that_fits_them(files, capsys, cell, log2, message, fixed_by):
    matrix, sheet, tmp = files
    text = matrix.read_text().splitlines()
    cells = text[3].split("\t")
    cells[4] = cell
    text[3] = "\t".join(cells)
    matrix.write_text("\n".join(text) + "\n")
    args = ["correct", matrix, "-s", sheet, "-b", "lab", "-o", tmp / "o.tsv"]
    assert run(*args, *(["--log2"] if log2 else [])) == 3
    assert message in capsys.readouterr().err
    if fixed_by is not None:
        assert run(*args, *fixed_by, "-q") == 0


@pytest.mark.parametrize(
    ("module", "matrix", "extra", "message"),
    [
        pytest.param("matplotlib", "m.tsv", ["--figure", "f.png"], "pip install 'quarnel[plot]'", id="figure"),
        pytest.param("anndata", "m.tsv", ["-o", "o.h5ad"], ".h5ad files need anndata, which is not installed: pip install 'quarnel[anndata]'", id="h5ad-output"),
        pytest.param("anndata", "m.h5ad", [], ".h5ad files need anndata", id="h5ad-input"),
    ],
)
def test_a_missing_optional_package_exits_5_before_any_work(files, capsys, monkeypatch, module, matrix, extra, message):
    _, sheet, tmp = files
    monkeypatch.setitem(sys.modules, module, None)  # importing it now fails
    monkeypatch.chdir(tmp)
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "--log2", "-o", tmp / "o.tsv", *extra) == 5
    assert message in capsys.readouterr().err
    assert sorted(p.name for p in tmp.iterdir()) == ["m.tsv", "s.tsv"]


def test_figure_is_written(files, capsys):
    pytest.importorskip("matplotlib")
    matrix, sheet, tmp = files
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "-c", "condition", "--log2", "-o", tmp / "o.tsv", "--figure", tmp / "f.png") == 0
    assert (tmp / "f.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert "batch silhouette" in capsys.readouterr().out


def test_help_explains_the_command_and_the_exit_codes(capsys):
    with pytest.raises(SystemExit) as exited:
        run("correct", "--help")
    text = capsys.readouterr().out
    assert exited.value.code == 0
    for needle in ("--samples", "--batch", "--log2", "--samples-in-rows", "--strict", "exit status:", "3  an input file"):
        assert needle in text


def test_installed_entry_point_runs():
    script = Path(sys.executable).with_name("quarnel")
    assert script.exists(), "the quarnel console script is not installed next to the interpreter"
    done = subprocess.run([script, "--version"], capture_output=True, text=True, check=False)
    assert (done.returncode, done.stdout.strip()) == (0, f"quarnel {quarnel.__version__}")
    done = subprocess.run([sys.executable, "-m", "quarnel"], capture_output=True, text=True, check=False)
    assert done.returncode == 2 and "required" in done.stderr


def test_demo_writes_table_report_and_figure(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    assert run("demo", "--output", tmp_path / "demo") == 0
    printed = capsys.readouterr().out
    assert "corrected 2526 of 2539 features" in printed
    assert "13 features constant within a batch" in printed
    table = read_matrix(tmp_path / "demo" / "quartet_proteomics_corrected.tsv")
    assert table.values.shape == (48, 2539)
    report = json.loads((tmp_path / "demo" / "quartet_proteomics_report.json").read_text())
    silhouette = report["silhouette"]
    assert silhouette["batch_before"] > 0.3 and silhouette["batch_after"] < 0.05
    assert silhouette["group_after"] > silhouette["group_before"]
    assert f"batch silhouette {silhouette['batch_before']:.3f} before, {silhouette['batch_after']:.3f} after" in printed
    assert (tmp_path / "demo" / "quartet_proteomics_pca.png").read_bytes()[:4] == b"\x89PNG"
    assert "CC BY 4.0" in printed


def test_command_line_and_function_need_no_pandas(files):
    matrix, sheet, tmp = files
    code = f"""
import sys
sys.modules["pandas"] = sys.modules["anndata"] = None  # importing either now fails
from quarnel import _cli
status = _cli.main(["correct", {str(matrix)!r}, "-s", {str(sheet)!r}, "-b", "lab", "-c", "condition",
                    "--log2", "-o", {str(tmp / "o.tsv")!r}, "-q"])
assert "pandas" not in sys.modules or sys.modules["pandas"] is None
sys.exit(status)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    assert read_matrix(tmp / "o.tsv").values.shape == (12, N_FEATURES)


def _read_tsv_text(text):
    lines = [line.split("\t") for line in text.splitlines()]
    return np.array([[np.nan if c == "NA" else float(c) for c in line[1:]] for line in lines[1:]]).T


def _read_h5ad(path):
    adata = pytest.importorskip("anndata").read_h5ad(path)
    assert adata.obs["lab"].tolist() == LAB and list(adata.uns["quarnel"]["partial_features"]) == ["P5"]
    return adata.X


OUTPUTS = [
    pytest.param("o.tsv", [], lambda tmp, out: read_matrix(tmp / "o.tsv").values, lambda v: v, id="tsv"),
    pytest.param("-", [], lambda tmp, out: _read_tsv_text(out), lambda v: v, id="stdout"),
    pytest.param("o.csv.gz", ["--digits", "4"], lambda tmp, out: read_matrix(tmp / "o.csv.gz").values,
                 np.vectorize(lambda v: float(f"{v:.4g}")), id="four-digits"),
    pytest.param("o.h5ad", [], lambda tmp, out: _read_h5ad(tmp / "o.h5ad"), lambda v: v, id="h5ad"),
]


@pytest.mark.parametrize(("name", "extra", "read", "expect"), OUTPUTS)
def test_every_output_form_holds_the_function_s_values(files, capsys, name, extra, read, expect):
    matrix, sheet, tmp = files
    output = name if name == "-" else tmp / name
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "-c", "condition", "--log2", "-o", output, *extra) == 0
    printed = capsys.readouterr()
    with warnings.catch_warnings():  # P5 misses a lab: corrected where observed
        expected = quarnel.combat(np.log2(values()), LAB, np.array(COND))
    assert read(tmp, printed.out).tobytes() == expect(expected).tobytes()
    if name == "-":  # the chatter went to standard error, leaving the matrix alone
        assert "corrected matrix written to standard output" in printed.err


def test_singleton_batch_warns_on_stderr_even_when_quiet(files, capsys):
    matrix, sheet, tmp = files
    write_sheet(sheet, [(s, "L9" if s == "S11" else lab, c) for s, lab, c in zip(SAMPLES, LAB, COND)])
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "--log2", "-o", tmp / "o.tsv", "-q") == 0
    printed = capsys.readouterr()
    assert printed.out == ""
    assert printed.err.startswith("quarnel: warning: batch 'L9' holds a single sample, so no batch's scale")


@pytest.mark.parametrize(("flags", "names"), [([], ["donor"]), (["--categorical", "donor"], ["donor[2]", "donor[3]"])])
def test_categorical_makes_a_numerically_coded_covariate_categories(files, flags, names):
    matrix, sheet, tmp = files
    donor = [str(1 + i % 3) for i in range(12)]
    sheet.write_text("sample\tlab\tdonor\n" + "".join(f"{s}\t{lab}\t{d}\n" for s, lab, d in zip(SAMPLES, LAB, donor)))
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "-c", "donor", *flags, "--log2", "-o", tmp / "o.tsv", "--report", tmp / "r.json", "-q") == 0
    assert json.loads((tmp / "r.json").read_text())["covariates"] == names
    covariate = np.array(donor) if flags else np.array(donor, dtype=float)
    with warnings.catch_warnings():  # P5 misses a lab: corrected where observed
        expected = quarnel.combat(np.log2(values()), LAB, {"donor": covariate})
    assert read_matrix(tmp / "o.tsv").values.tobytes() == expected.tobytes()


@pytest.mark.parametrize("sparse_x", [False, True])
def test_h5ad_input_brings_its_own_sample_sheet(tmp_path, capsys, sparse_x):
    anndata = pytest.importorskip("anndata")
    pd = pytest.importorskip("pandas")
    data = np.nan_to_num(np.log2(values()))
    x = pytest.importorskip("scipy.sparse").csr_matrix(data) if sparse_x else data
    obs = pd.DataFrame({"lab": pd.Categorical(LAB), "donor": [1, 2, 3] * 4}, index=SAMPLES)
    anndata.AnnData(X=x, obs=obs, layers={"raw": data}).write_h5ad(tmp_path / "in.h5ad")
    args = ["correct", tmp_path / "in.h5ad", "-b", "lab", "-c", "donor", "--categorical", "donor", "-o", tmp_path / "out.h5ad"]
    assert run(*args) == 0
    printed = capsys.readouterr()
    assert ("quarnel: warning: the sparse matrix (12 × 9) was made dense" in printed.err) == sparse_x
    out = anndata.read_h5ad(tmp_path / "out.h5ad")
    expected = quarnel.combat(data, LAB, {"donor": np.array(["1", "2", "3"] * 4)})
    assert out.X.tobytes() == expected.tobytes() and out.layers["raw"].tobytes() == data.tobytes()
    assert list(out.uns["quarnel"]["covariates"]) == ["donor[2]", "donor[3]"]
    with pytest.raises(SystemExit):
        run(*args, "--samples-in-rows")
    assert "--samples-in-rows does not apply to .h5ad input" in capsys.readouterr().err
    if sparse_x:
        assert run(*args, "--max-dense-gib", "1e-9") == 3
        assert "would take 864 bytes as a dense float64 matrix, more than the limit of 1 bytes (--max-dense-gib)" in capsys.readouterr().err
    (tmp_path / "in.h5ad").write_text("not HDF5")
    assert run(*args) == 3
    assert capsys.readouterr().err.startswith(f"quarnel: error: {tmp_path / 'in.h5ad'}: cannot be read as an .h5ad file")


@pytest.mark.parametrize(("flags", "shown"), [([], True), (["--quiet"], False)], ids=["terminal", "quiet"])
def test_progress_is_shown_on_a_terminal_unless_quiet(files, capsys, monkeypatch, flags, shown):
    from quarnel import _progress

    monkeypatch.setattr(_progress, "DELAY", 0.0)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True, raising=False)
    matrix, sheet, tmp = files
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "--log2", "-o", tmp / "o.tsv", *flags) == 0
    assert ("quarnel" in capsys.readouterr().err) == shown


def _subprocess(tmp, *args, file_size_limit=None):
    """The command line as its own process in ``tmp``, SIGINT handled as on a terminal
    (a test runner started in the background may hand it down ignored)."""

    def start():
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        if file_size_limit is not None:  # a full disk, as far as the writer can tell
            import resource

            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))

    command = [sys.executable, "-m", "quarnel", *(str(a) for a in args)]
    return subprocess.Popen(command, cwd=tmp, preexec_fn=start, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)


def _temporaries(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.startswith(TEMPORARY_PREFIX))


def _size(path):
    try:
        return path.stat().st_size
    except FileNotFoundError:
        return 0


def _earlier(path, earlier):
    """``path`` holding an earlier result, or no file at all, before a run that must not
    disturb it."""
    if earlier is not None:
        path.write_bytes(earlier)
    return path


def _unchanged(path, earlier):
    return path.read_bytes() == earlier if earlier is not None else not path.exists()


EARLIER = [pytest.param(None, id="new-file"), pytest.param(b"an earlier result\n", id="earlier-file")]


@pytest.mark.parametrize("earlier", EARLIER)
def test_an_interrupt_while_writing_leaves_no_part_of_the_matrix(tmp_path, earlier):
    # 12 samples x 100,000 features: about 23 MB to write, a second or so of writing.
    rng = np.random.default_rng(5)
    rows = [f"F{i}\t" + "\t".join(f"{v:.2f}" for v in row) for i, row in enumerate(rng.normal(10, 1, (100_000, 12)).tolist())]
    (tmp_path / "big.tsv").write_text("\t".join(["id", *SAMPLES]) + "\n" + "\n".join(rows) + "\n")
    write_sheet(tmp_path / "s.tsv")
    out = _earlier(tmp_path / "out.tsv", earlier)
    with _subprocess(tmp_path, "correct", "big.tsv", "-s", "s.tsv", "-b", "lab", "-o", out.name, "-q") as process:
        deadline = time.monotonic() + 60
        # Only a temporary file with content is the matrix being written: the one made
        # at the start, to find out whether the folder is writable, is empty and brief.
        while not any(_size(tmp_path / name) for name in _temporaries(tmp_path)):
            assert process.poll() is None and time.monotonic() < deadline, "the matrix was never seen being written"
            time.sleep(0.002)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (130, "quarnel: error: interrupted\n")
    assert _unchanged(out, earlier)
    assert _temporaries(tmp_path) == []


FAILED_WRITES = [
    pytest.param(["-o", "o.tsv"], "o.tsv", id="matrix"),
    pytest.param(["-o", "o.csv.gz"], "o.csv.gz", id="gzipped-matrix"),
    pytest.param(["-o", "-", "--report", "r.json"], "r.json", id="report"),
    pytest.param(["-o", "-", "--figure", "f.png"], "f.png", id="figure"),
    pytest.param(["-o", "-", "--effects", "e.tsv"], "e.tsv", id="effects"),
    pytest.param(["-o", "-", "--save-model", "m.npz"], "m.npz", id="model"),
]


@pytest.mark.parametrize("earlier", EARLIER)
@pytest.mark.parametrize(("extra", "name"), FAILED_WRITES)
def test_a_write_that_fails_midway_leaves_no_partial_output(files, extra, name, earlier):
    if "--figure" in extra:
        pytest.importorskip("matplotlib")
    matrix, sheet, tmp = files
    out = _earlier(tmp / name, earlier)
    # Every output of this run but the standard output is beyond 512 bytes.
    with _subprocess(tmp, "correct", matrix.name, "-s", sheet.name, "-b", "lab", "--log2", *extra, file_size_limit=512) as process:
        _, err = process.communicate(timeout=60)
    assert process.returncode == 3, err
    assert f"quarnel: error: {name}: cannot be written (File too large)" in err
    assert _unchanged(out, earlier)
    assert _temporaries(tmp) == []


def test_a_replaced_output_keeps_its_permissions_and_its_link(files):
    matrix, sheet, tmp = files
    (tmp / "results").mkdir()
    target = tmp / "results" / "o.tsv"
    target.write_text("an earlier result\n")
    target.chmod(0o640)
    (tmp / "o.tsv").symlink_to(target)
    assert run("correct", matrix, "-s", sheet, "-b", "lab", "--log2", "-o", tmp / "o.tsv", "-q") == 0
    assert (tmp / "o.tsv").is_symlink() and read_matrix(target).values.shape == (12, N_FEATURES)
    assert target.stat().st_mode & 0o777 == 0o640
    assert _temporaries(tmp) == _temporaries(tmp / "results") == []


@pytest.mark.parametrize("gzipped", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("which", ["matrix", "sheet"])
def test_a_byte_order_mark_is_not_part_of_the_first_name(files, which, gzipped):
    matrix, sheet, tmp = files
    # Without the corner cell, the mark would sit on the first sample's name.
    matrix.write_text(matrix.read_text().split("\t", 1)[1])
    path = matrix if which == "matrix" else sheet
    content = b"\xef\xbb\xbf" + path.read_bytes()
    if gzipped:
        path = path.with_name(path.name + ".gz")
        content = gzip.compress(content)
    path.write_bytes(content)
    inputs = {"matrix": matrix, "sheet": sheet, which: path}
    out = tmp / "o.tsv"
    assert run("correct", inputs["matrix"], "-s", inputs["sheet"], "--sample-column", "sample", "-b", "lab", "--log2", "-o", out, "-q") == 0
    assert out.read_text().split("\n", 1)[0] == "\t".join(SAMPLES)
    with warnings.catch_warnings():  # P5 misses a lab: corrected where observed
        expected = quarnel.combat(np.log2(values()), LAB)
    assert read_matrix(out).values.tobytes() == expected.tobytes()


def test_values_too_large_to_square_raise_no_overflow_warning(files, capsys):
    matrix, sheet, tmp = files
    scale = 2.0**530  # values about 1e160, whose squares overflow
    write_matrix(matrix, values() * scale)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert run("correct", matrix, "-s", sheet, "-b", "lab", "-c", "condition", "-o", tmp / "o.tsv", "--report", tmp / "r.json") == 0
    assert [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)] == []
    assert "overflow" not in capsys.readouterr().err
    # The widths are those of the same data at an ordinary scale.
    silhouette = json.loads((tmp / "r.json").read_text())["silhouette"]
    ordinary = correction_scores(values(), read_matrix(tmp / "o.tsv").values / scale, LAB, COND)
    assert (silhouette["batch_before"], silhouette["batch_after"]) == (ordinary.batch_before, ordinary.batch_after)


@given(st.integers(-1000, 1000))
def test_silhouette_widths_do_not_depend_on_the_data_s_scale(exponent):
    data = np.nan_to_num(np.log2(values()))
    shifted = data + np.arange(12)[:, None] % 3
    expected = correction_scores(data, shifted, LAB, COND)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = correction_scores(np.ldexp(data, exponent), np.ldexp(shifted, exponent), LAB, COND)
    assert got == expected


def _damage_model(path, change):
    """The saved model after change(header, arrays) edits it; a text it returns is the new header."""
    with np.load(path, allow_pickle=False) as archive:
        members = {k: archive[k] for k in archive.files}
    header = json.loads(str(members["header"][0]))
    members["header"] = np.array([change(header, members) or json.dumps(header)])
    np.savez(path, **members)


@pytest.mark.parametrize("change, message", [
    (lambda h, m: '{"format": "quarnel-model", "batches": ' + "[" * 1000 + "]" * 1000 + "}", "its header nests deeper than"),
    (lambda h, m: h["scalars"].update(n_covariates=["int", 2**70]), "'scalars.n_covariates'"),
    (lambda h, m: h["scalars"].update(par_prior=["int", 2]), "'scalars.par_prior'"),
    (lambda h, m: m.update(delta_hat=m["delta_hat"].astype(np.float32)), "'delta_hat' is float32"),
], ids=["nested-header", "absurd-count", "int-for-bool", "float32-array"])
def test_apply_with_a_damaged_model_exits_3_with_one_line(files, capsys, change, message):
    matrix, sheet, tmp = files
    common = ["-s", sheet, "-b", "lab", "--log2", "-o", tmp / "o.tsv"]
    assert run("correct", matrix, *common, "--save-model", tmp / "m.npz") == 0
    _damage_model(tmp / "m.npz", change)
    capsys.readouterr()
    assert run("apply", tmp / "m.npz", matrix, *common) == 3
    err = capsys.readouterr().err
    assert err.startswith(f"quarnel: error: model file {tmp / 'm.npz'} is damaged: ") and message in err
    assert err.count("\n") == 1 and "Traceback" not in err
