"""The ``quarnel`` command line: correct a table on disk, apply a saved model to one, or
run the bundled demo."""

from __future__ import annotations

import argparse
import json
import os
import sys
import textwrap
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import __version__
from ._combat import MAX_DENSE_BYTES, UnestimableFeatureWarning, correct_unpacked, labelled
from ._counts import correct_counts, log_cpm
from ._files import check_replaceable, replacing
from ._model import CombatModel, fit_unpacked, load_model
from ._h5ad import H5ad, is_h5ad, read_h5ad, require_anndata, write_h5ad
from ._plot import correction_scores
from ._report import CombatReport
from ._table import MISSING_TOKENS, Matrix, SampleSheet, TableError, read_matrix, read_sample_sheet, write_matrix

__all__ = ["main"]

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_INPUT = 3
EXIT_CORRECTION = 4
EXIT_MISSING_DEPENDENCY = 5
EXIT_INTERRUPTED = 130

EXIT_CODES = f"""\
exit status:
  {EXIT_OK}  success
  {EXIT_USAGE}  the command line is wrong (unknown option, missing argument, an output
     that is also an input, a figure format matplotlib cannot write)
  {EXIT_INPUT}  an input file cannot be read or does not fit: no such file, not a table,
     a cell that is not a number, samples missing from or extra in the sample sheet,
     an unknown column or batch, values <= 0 with --log2, a sparse .h5ad matrix
     beyond --max-dense-gib, a model file that cannot be read or does not fit the
     matrix (other features, a batch or covariate category it has not seen); or an
     output cannot be written
  {EXIT_CORRECTION}  the correction failed on this data (for example a covariate that is
     constant within every batch, a numerical failure, not enough memory, or features
     that cannot be estimated together with --strict), or the figure cannot be drawn
     from it (the corrected matrix is written all the same)
  {EXIT_MISSING_DEPENDENCY}  an optional package is not installed: matplotlib for a figure
     (pip install 'quarnel[plot]'), anndata for .h5ad files (pip install 'quarnel[anndata]')
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C)
Outputs are checked before any input is read, so a wrong output name costs no time.
"""


class InputError(Exception):
    """The input files and the options do not fit together."""


class UsageError(Exception):
    """The command line contradicts itself; reported like argparse's own errors."""


class MissingDependency(Exception):
    """An optional package that the request needs is not installed."""


def _say(args: argparse.Namespace, text: str) -> None:
    # With the matrix on standard output, everything else goes to standard error.
    if not getattr(args, "quiet", False):
        print(text, file=sys.stderr if getattr(args, "output", None) == "-" else sys.stdout)


def _error(text: str) -> None:
    print(f"quarnel: error: {text}", file=sys.stderr)


def _warn(text: str) -> None:
    print(f"quarnel: warning: {text}", file=sys.stderr)


def _names(items: Sequence[str], limit: int = 5) -> str:
    shown = ", ".join(repr(x) for x in items[:limit])
    return shown + (f" and {len(items) - limit} more" if len(items) > limit else "")


def _sheet_for(matrix: Matrix, sheet: SampleSheet, sample_column: str | None, allow_extra: bool) -> dict[str, list[str]]:
    """The sample sheet's columns, in the order of the matrix's samples."""
    seen: set[str] = set()
    for name in matrix.sample_names:  # text tables are checked on reading; .h5ad is not
        if name in seen:
            raise InputError(f"sample {name!r} appears more than once in the matrix, so it cannot be matched to the sample sheet")
        seen.add(name)
    key = sample_column or sheet.columns[0]
    if key not in sheet.columns:
        raise InputError(f"{sheet.path}: no column {key!r} to match samples by; columns are {sheet.columns}")
    names = sheet.column(key)
    position: dict[str, int] = {}
    for i, name in enumerate(names):
        if name in position:
            raise InputError(f"{sheet.path}: sample {name!r} is listed more than once in column {key!r}")
        position[name] = i
    missing = [s for s in matrix.sample_names if s not in position]
    if missing:
        raise InputError(
            f"{len(missing)} samples of the matrix are not in the sample sheet {sheet.path} "
            f"(column {key!r}): {_names(missing)}"
        )
    present = set(matrix.sample_names)
    extra = [s for s in names if s not in present]
    if extra and not allow_extra:
        raise InputError(
            f"{len(extra)} samples of the sample sheet {sheet.path} are not in the matrix: "
            f"{_names(extra)} (--allow-extra-samples ignores them)"
        )
    rows = [position[s] for s in matrix.sample_names]
    return {column: [sheet.rows[r][k] for r in rows] for k, column in enumerate(sheet.columns)}


def _sample_table(args: argparse.Namespace, matrix: Matrix, source: Any) -> tuple[Any, str]:
    """The sample sheet's columns in the matrix's sample order, from --samples or else the
    .obs of an .h5ad matrix, and where they came from."""
    if args.samples is not None:
        sheet = read_sample_sheet(args.samples)
        return _sheet_for(matrix, sheet, args.sample_column, args.allow_extra_samples), sheet.path
    assert source is not None
    return source.obs, f"the .obs of {args.matrix}"


def _column(table: dict[str, list[str]], name: str, what: str, path: str, samples: Sequence[str]) -> list[str]:
    if name not in table:
        raise InputError(f"unknown {what} column {name!r}; the sample sheet {path} has columns {list(table)}")
    values = table[name]
    for sample, cell in zip(samples, values):
        if cell in MISSING_TOKENS:
            raise InputError(f"{path}: {what} column {name!r} is empty for sample {sample!r}")
    return values


def _typed(values: list[str]) -> list[Any] | np.ndarray:
    """A sample-sheet column as numbers when every cell is one, else as text."""
    try:
        return np.array([float(v) for v in values], dtype=np.float64)
    except ValueError:
        return values


def _cell(matrix: Matrix, values: np.ndarray, where: np.ndarray) -> str:
    i, j = where[0]
    return f"feature {matrix.feature_names[j]!r}, sample {matrix.sample_names[i]!r}: {values[i, j]:g}"


def _check_values(values: np.ndarray, matrix: Matrix, log2: bool) -> None:
    """Infinite values are input errors here, in words that fit how they arise."""
    infinite = np.argwhere(np.isinf(values))
    if not infinite.size:
        return
    hint = "write missing values as NA"
    if values[tuple(infinite[0])] < 0:
        # -inf is what a log of zero gives, so the table has been through a log already.
        hint = (
            "a -inf comes from the log of zero, so the table is probably on a log scale "
            "already: leave out --log2 and write missing values as NA" if log2 else
            "a -inf comes from the log of zero: write missing values as NA, or correct the "
            "raw values with --log2 --pseudocount 1 instead"
        )
    raise InputError(
        f"the matrix holds {len(infinite)} infinite values (first: {_cell(matrix, values, infinite)}); {hint}"
    )


def _log2(values: np.ndarray, pseudocount: float, matrix: Matrix) -> np.ndarray:
    shifted = values + pseudocount
    negative = np.argwhere(shifted < 0)
    if negative.size:
        raise InputError(
            f"--log2 needs positive values, but {len(negative)} are negative after adding the "
            f"pseudocount {pseudocount:g} (first: {_cell(matrix, values, negative)}); a table "
            "with negative values is usually on a log scale already: leave out --log2"
        )
    zero = np.argwhere(shifted == 0)
    if zero.size:
        raise InputError(
            f"--log2 needs positive values, but {len(zero)} are zero after adding the "
            f"pseudocount {pseudocount:g} (first: {_cell(matrix, values, zero)}) and log2(0) "
            "is -inf; add a pseudocount such as --pseudocount 1, or write missing values as NA"
        )
    with np.errstate(invalid="ignore"):
        return np.log2(shifted)


def _figure(args: argparse.Namespace, path: str | os.PathLike[str], before: np.ndarray, after: np.ndarray,
            batch: Sequence[Any], group: Sequence[Any] | None, title: str, names: tuple[str, str]) -> Any:
    from ._plot import plot_correction

    try:
        _, scores = plot_correction(
            before, after, batch, group, path=path, title=title, batch_name=names[0], group_name=names[1]
        )
    except OSError as err:
        raise TableError(f"{path}: cannot be written ({err.strerror or err})") from None
    _say(args, f"figure written to {path}")
    return scores


def _summary(args: argparse.Namespace, report: CombatReport) -> None:
    _say(args, report.summary())


def _write_report(path: str | os.PathLike[str], report: CombatReport, scores: Any) -> None:
    content = report.to_dict()
    if scores is not None:
        content["silhouette"] = {
            "batch_before": scores.batch_before,
            "batch_after": scores.batch_after,
            "group_before": scores.group_before,
            "group_after": scores.group_after,
            "n_components": scores.n_components,
            "n_features": scores.n_features,
        }
    _write_text(path, json.dumps(content, indent=2) + "\n")


def _write_text(path: str | os.PathLike[str], text: str) -> None:
    """Write ``text`` whole under ``path`` or, on any failure, not at all."""
    try:
        with replacing(path) as temporary:
            Path(temporary).write_text(text, encoding="utf-8")
    except OSError as err:
        raise TableError(f"{path}: cannot be written ({err.strerror or err})") from None


def _show_warnings(caught: list[warnings.WarningMessage]) -> None:
    for warning in caught:
        # The summary lists the features passed through; no need to say it twice.
        if not issubclass(warning.category, UnestimableFeatureWarning):
            _warn(str(warning.message))


def _probe(path: Path, what: str) -> None:
    """Fail now, not after the correction, when ``path`` cannot be written."""
    if path.is_dir():
        raise TableError(f"{path}: is a folder; {what} needs a file name")
    existed = path.exists()
    try:
        with open(path, "ab"):
            pass
        # Files are written beside their target and renamed, which needs a writable folder.
        check_replaceable(path)
    except OSError as err:
        raise TableError(f"{path}: cannot be written ({err.strerror or err})") from None
    finally:
        if not existed:
            path.unlink(missing_ok=True)


def _same_file(a: str, b: str) -> bool:
    if a == "-" or b == "-":
        return False
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def _figure_formats() -> list[str]:
    import matplotlib  # noqa: F401  # the package itself: submodules may linger in sys.modules
    from matplotlib.figure import Figure

    return sorted(Figure().canvas.get_supported_filetypes())


def _check_outputs(args: argparse.Namespace) -> None:
    """Every output must be writable, in a format that can be written, and no input:
    found out before the inputs are read, so that no work is lost at the end."""
    outputs = [(args.output, "--output")]
    for flag in ("report", "figure", "save_model", "effects"):
        if getattr(args, flag, None):
            outputs.append((getattr(args, flag), "--" + flag.replace("_", "-")))
    inputs = [(args.matrix, "the matrix")] + ([(args.samples, "the sample sheet")] if args.samples else [])
    if getattr(args, "model", None):
        inputs.append((args.model, "the model"))
    for i, (out, flag) in enumerate(outputs):
        for other, what in inputs:
            if _same_file(out, other):
                raise UsageError(f"{flag} {out} is {what}, which would be overwritten; choose another file")
        for other, other_flag in outputs[:i]:
            if _same_file(out, other):
                raise UsageError(f"{flag} and {other_flag} both name {out}; choose different files")
    if getattr(args, "figure", None):
        try:
            formats = _figure_formats()
        except ImportError:
            raise MissingDependency(
                "--figure needs matplotlib, which is not installed: pip install 'quarnel[plot]'"
            ) from None
        suffix = Path(args.figure).suffix.lower().removeprefix(".")
        if suffix and suffix not in formats:
            raise UsageError(f"--figure {args.figure}: matplotlib cannot write .{suffix} files; it writes {', '.join(formats)}")
    if is_h5ad(args.output) or is_h5ad(args.matrix):
        try:
            require_anndata()
        except ImportError as err:
            raise MissingDependency(str(err)) from None
    for out, flag in outputs:
        if out != "-":
            _probe(Path(out), flag)


def _correct(
    args: argparse.Namespace,
    matrix: Matrix,
    values: np.ndarray,
    table: dict[str, list[str]],
    sheet_path: str,
    batch_column: str,
    covariate_columns: list[str],
    group_column: str | None,
    output: Path | str,
    figure: Path | None,
    report_path: Path | None,
    figure_title: str,
    categorical: frozenset[str] = frozenset(),
    source: H5ad | None = None,
) -> int:
    names = matrix.sample_names
    batch = _column(table, batch_column, "batch", sheet_path, names)
    covariates = {
        name: _column(table, name, "covariate", sheet_path, names) if name in categorical
        else _typed(_column(table, name, "covariate", sheet_path, names))
        for name in covariate_columns
    }
    group = _column(table, group_column, "group", sheet_path, names) if group_column else None
    if args.reference is not None and args.reference not in set(batch):
        raise InputError(
            f"--reference {args.reference!r} is not a batch of column {batch_column!r}; "
            f"the batches are {sorted(set(batch))}"
        )
    unpacked = labelled(values, matrix.sample_names, matrix.feature_names, None)
    options = dict(
        parametric=not args.non_parametric,
        mean_only=args.mean_only,
        reference=args.reference,
        unestimable="raise" if args.strict else "pass",
        partial_batches=getattr(args, "partial_batches", "correct"),
        exact=not getattr(args, "fast", False),
        progress=not getattr(args, "quiet", False) and sys.stderr.isatty(),
        pass_hint="without --strict they are passed through unchanged",
    )
    model: CombatModel | None = None
    counts = getattr(args, "counts", False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            if counts:
                corrected, report = correct_counts(
                    unpacked, batch, covariates or None, reference=args.reference,
                    library_size=None, progress=options["progress"],
                )
            elif getattr(args, "save_model", None) or getattr(args, "effects", None):
                # The model corrects the data it was fitted on exactly as the one-off
                # correction does, so the matrix written is the same either way.
                model = fit_unpacked(unpacked, batch, covariates or None, **options)  # type: ignore[arg-type]
                corrected, _ = model.transform_unpacked(unpacked, batch, covariates or None)
                report = model.report
            else:
                corrected, report = correct_unpacked(unpacked, batch, covariates or None, **options)  # type: ignore[arg-type]
        except (ValueError, RuntimeError) as err:
            _error(f"the correction failed: {err}")
            return EXIT_CORRECTION
    _show_warnings(caught)
    if is_h5ad(output):
        write_h5ad(output, matrix, corrected, report.to_dict(), source, table)
    else:
        # Seventeen significant digits write every count up to 2**53 as a plain integer.
        digits = 17 if counts else getattr(args, "digits", None)
        write_matrix(output, matrix, corrected, na_rep=args.na_rep, digits=digits)
    _summary(args, report)  # type: ignore[arg-type]
    _say(args, f"corrected matrix written to {'standard output' if output == '-' else output}")
    if model is not None:
        _write_model_outputs(args, model)
    status = EXIT_OK
    scores = None
    if counts:
        # Counts are compared, and drawn, as log-CPM.
        values, corrected = log_cpm(values), log_cpm(corrected)
    if figure is not None:
        try:
            scores = _figure(
                args, figure, values, corrected, batch, group, figure_title, (batch_column, group_column or "group")
            )
        except TableError as err:
            # A figure drawn but not written is an output error; the report still follows.
            _error(str(err))
            status = EXIT_INPUT
        except ValueError as err:
            # The corrected matrix is written already; say why the figure is not there.
            _error(f"the figure cannot be drawn: {err}")
            status = EXIT_CORRECTION
    elif report_path is not None or not args.quiet:
        try:
            scores = correction_scores(values, corrected, batch, group)
        except ValueError:
            scores = None  # too few complete features to measure; the correction stands
    if scores is not None:
        _say(args, str(scores))
    if report_path is not None:
        _write_report(report_path, report, scores)
        _say(args, f"report written to {report_path}")
    return status


def _write_model_outputs(args: argparse.Namespace, model: CombatModel) -> None:
    if args.save_model:
        try:
            model.save(args.save_model)
        except OSError as err:
            raise TableError(f"{args.save_model}: cannot be written ({err.strerror or err})") from None
        _say(args, f"model written to {args.save_model}")
    if args.effects:
        write_effects(args.effects, model, args.na_rep)
        _say(args, f"batch effects written to {args.effects}")


def write_effects(path: str | os.PathLike[str], model: CombatModel, na_rep: str = "NA") -> None:
    """The model's batch effects as a tab-separated table, one row per batch and feature."""
    arrays = model.arrays()
    names = ("gamma_hat", "delta_hat", "gamma_star", "delta_star")
    lines = ["\t".join(("batch", "feature", *names))]
    for level, batch in enumerate(model.batches):
        for k, feature in enumerate(arrays["features"]):
            cells = [na_rep if np.isnan(arrays[n][level, k]) else repr(float(arrays[n][level, k])) for n in names]
            lines.append("\t".join((str(batch), str(model.features[feature]), *cells)))
    _write_text(path, "\n".join(lines) + "\n")


def _read_model(path: str) -> CombatModel:
    try:
        return load_model(path)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError as err:  # a folder, no permission, a failing disk
        raise InputError(f"{path}: cannot be read ({err.strerror or err})") from None
    except ValueError as err:  # not a model file, or a damaged one: the message names the fault
        raise InputError(str(err)) from None


def _as_labels(cells: list[str], labels: Sequence[Any]) -> list[Any]:
    """Text cells as the model's labels whose text they are: a model fitted in Python may
    know its batches as numbers, while a sample sheet holds text."""
    by_text: dict[str, Any] = {}
    for label in labels:
        by_text.setdefault(str(label), label)
    return [by_text.get(cell, cell) for cell in cells]


def _run_apply(args: argparse.Namespace) -> int:
    if is_h5ad(args.matrix) and args.samples_in_rows:
        raise UsageError("--samples-in-rows does not apply to .h5ad input, which always holds samples in rows")
    if args.samples is None and not is_h5ad(args.matrix):
        raise UsageError("--samples is required (only an .h5ad matrix brings its own sample sheet, .obs)")
    if args.pseudocount and not args.log2:
        raise InputError("--pseudocount is added before the log2 transform; it needs --log2")
    _check_outputs(args)
    model = _read_model(args.model)
    matrix, source = _read_input(args)
    features = [str(f) for f in model.features]
    if len(matrix.feature_names) != len(features):
        raise InputError(
            f"{args.matrix} has {len(matrix.feature_names)} features, but the model {args.model} "
            f"was fitted on {len(features)}"
        )
    for position, (got, expected) in enumerate(zip(matrix.feature_names, features)):
        if got != expected:
            raise InputError(
                f"feature {position + 1} of {args.matrix} is {got!r}, but the model's is {expected!r}; "
                "the matrix needs the model's features in the model's order"
            )
    table, sheet_path = _sample_table(args, matrix, source)
    names = matrix.sample_names
    batch = _as_labels(_column(table, args.batch, "batch", sheet_path, names), model.batches)
    given = [c for item in args.covariates for c in item.split(",") if c]
    spec = {c.name: c for c in model.covariate_columns}
    covariates: dict[str, Any] = {}
    for name in given or list(spec):
        cells = _column(table, name, "covariate", sheet_path, names)
        column = spec.get(name)
        covariates[name] = _typed(cells) if column is None or column.kind == "numeric" else _as_labels(cells, column.levels)
    values = matrix.values
    _check_values(values, matrix, args.log2)
    if args.log2:
        values = _log2(values, args.pseudocount, matrix)
    unpacked = labelled(values, names, matrix.feature_names, None)
    try:
        corrected, estimated = model.transform_unpacked(
            unpacked, batch, covariates or None, new_batches=args.new_batches,
            progress=not args.quiet and sys.stderr.isatty(),
        )
    except ValueError as err:
        raise InputError(f"the model {args.model} cannot be applied: {err}") from None
    except RuntimeError as err:
        _error(f"the correction failed: {err}")
        return EXIT_CORRECTION
    output = args.output if args.output == "-" else Path(args.output)
    if is_h5ad(output):
        content = {"model": os.fspath(args.model), "new_batches": [str(b) for b in estimated]}
        write_h5ad(output, matrix, corrected, content, source, table)
    else:
        write_matrix(output, matrix, corrected, na_rep=args.na_rep, digits=args.digits)
    _say(args, f"{len(names)} samples corrected with the model {args.model} "
               f"({len(model.batches)} batches, {len(model.arrays()['features'])} of {len(features)} features corrected)")
    if estimated:
        _say(args, "batches not seen when the model was fitted, estimated against it: " + ", ".join(str(b) for b in estimated))
    _say(args, f"corrected matrix written to {'standard output' if output == '-' else output}")
    return EXIT_OK


def _read_input(args: argparse.Namespace) -> tuple[Matrix, H5ad | None]:
    if not is_h5ad(args.matrix):
        return read_matrix(args.matrix, samples_in_rows=args.samples_in_rows), None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            source = read_h5ad(args.matrix, args.max_dense_gib * 2**30)
        except TableError:
            raise
        except ValueError as err:  # sparse beyond the size limit
            raise InputError(f"{args.matrix}: {err}") from None
    _show_warnings(caught)
    return source.matrix, source


def _run_correct(args: argparse.Namespace) -> int:
    covariates = [c for item in args.covariates for c in item.split(",") if c]
    categorical = frozenset(c for item in args.categorical for c in item.split(",") if c)
    if unknown := sorted(categorical.difference(covariates)):
        raise UsageError(f"--categorical {', '.join(unknown)}: not among the --covariates {covariates}")
    if args.pseudocount and not args.log2:
        raise InputError("--pseudocount is added before the log2 transform; it needs --log2")
    if is_h5ad(args.matrix) and args.samples_in_rows:
        raise UsageError("--samples-in-rows does not apply to .h5ad input, which always holds samples in rows")
    if args.samples is None and not is_h5ad(args.matrix):
        raise UsageError("--samples is required (only an .h5ad matrix brings its own sample sheet, .obs)")
    if args.counts:
        given = [flag for flag, on in (
            ("--log2", args.log2), ("--non-parametric", args.non_parametric), ("--fast", args.fast),
            ("--mean-only", args.mean_only), ("--strict", args.strict), ("--save-model", args.save_model),
            ("--effects", args.effects), ("--digits", args.digits is not None),
            ("--partial-batches", args.partial_batches != "correct"),
        ) if on]
        if given:
            raise UsageError(f"--counts corrects raw counts with its own model; {', '.join(given)} does not apply to it")
    _check_outputs(args)
    matrix, source = _read_input(args)
    table, sheet_path = _sample_table(args, matrix, source)
    if args.samples is None:
        categorical |= source.categorical
    values = matrix.values
    _check_values(values, matrix, args.log2)
    if args.log2:
        values = _log2(values, args.pseudocount, matrix)
    group = args.group or (covariates[0] if covariates else None)
    return _correct(
        args, matrix, values, table, sheet_path, args.batch, covariates, group,
        args.output if args.output == "-" else Path(args.output), Path(args.figure) if args.figure else None,
        Path(args.report) if args.report else None, Path(args.matrix).name, categorical, source,
    )


def _run_demo(args: argparse.Namespace) -> int:
    from .datasets import load_quartet

    data = load_quartet()
    out = Path(args.output)
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as err:
        raise TableError(f"{out}: cannot create the output folder ({err.strerror or err})") from None
    _say(args, f"Quartet proteomics: {len(data.feature_names)} proteins x {len(data.sample_names)} samples, "
               f"batch column {data.batch_column!r}, donor column {data.group_column!r}")
    _say(args, f"data: {data.attribution}")
    figure: Path | None = out / "quartet_proteomics_pca.png"
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        _say(args, "matplotlib is not installed, so no figure is drawn (pip install 'quarnel[plot]')")
        figure = None
    if args.no_figure:
        figure = None
    return _correct(
        args, data.matrix, data.values, data.samples, "the bundled sample sheet",
        data.batch_column, [data.group_column], data.group_column,
        out / "quartet_proteomics_corrected.tsv", figure, out / "quartet_proteomics_report.json",
        "Quartet proteomics: batch correction with donor as covariate",
    )


def _digits(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if not 1 <= n <= 17:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from 1 to 17")
    return n


def _positive(text: str) -> float:
    try:
        x = float(text)
    except ValueError:
        x = 0.0
    if not x > 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number")
    return x


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarnel",
        description=textwrap.dedent(
            """\
            Remove batch effects from omics tables by empirical-Bayes location/scale
            correction: every feature's shift and spread in each batch are estimated,
            shrunk towards what all features share, and removed.

            Try it:  quarnel demo --output demo-output"""
        ),
        epilog=EXIT_CODES + "\nRun 'quarnel correct --help' for how to correct your own table.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"quarnel {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    correct = commands.add_parser(
        "correct",
        help="correct a matrix on disk, given a sample sheet naming each sample's batch",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=textwrap.dedent(
            """\
            Correct the batch effects of a numeric matrix.

            The matrix is a CSV or TSV file (by its suffix, .gz allowed) with names in
            the first row and the first column: one row per feature and one column per
            sample (or the other way round with --samples-in-rows). Empty cells and NA,
            NaN, N/A, NULL are missing values. The sample sheet has a header and one row
            per sample; its first column (or --sample-column) holds the sample names of
            the matrix, and other columns hold the batch and any covariates.

            With anndata installed the matrix may also be an AnnData .h5ad file (samples
            in rows, a sparse matrix is made dense); its .obs serves as the sample sheet
            unless --samples is given. An --output ending in .h5ad is written as AnnData,
            keeping the input's .obs, .var and layers when the input was .h5ad too.

            Features whose batch effects cannot be estimated (for example a protein with
            no value at all in one batch) are written back unchanged and counted in the
            summary; --strict makes them an error instead.

            example:
              quarnel correct intensities.tsv --samples samples.tsv --batch lab \\
                  --covariates condition --log2 --output corrected.tsv --figure pca.png
            """
        ),
        epilog=EXIT_CODES,
    )
    correct.add_argument("matrix", help="the matrix to correct (CSV, TSV or .h5ad)")
    correct.add_argument("--samples", "-s", metavar="SHEET", help="the sample sheet (CSV or TSV); required unless the matrix is .h5ad")
    correct.add_argument("--batch", "-b", required=True, metavar="COLUMN", help="sample-sheet column holding each sample's batch")
    correct.add_argument("--output", "-o", required=True, metavar="FILE",
                         help="where to write the corrected matrix, in the layout of the input; '-' for standard output "
                         "(other messages then go to standard error), a name ending in .h5ad for AnnData")
    correct.add_argument("--covariates", "-c", action="append", default=[], metavar="COLUMN[,COLUMN]",
                         help="sample-sheet columns whose effects are preserved (biological condition, ...); "
                         "numeric columns are used as numbers, others as categories; repeat or separate with commas")
    correct.add_argument("--categorical", action="append", default=[], metavar="COLUMN",
                         help="treat this covariate as categories even though its values are numbers "
                         "(a donor coded 1, 2, 3); repeat or separate with commas")
    correct.add_argument("--sample-column", metavar="COLUMN", help="sample-sheet column with the sample names (default: the first)")
    correct.add_argument("--samples-in-rows", action="store_true", help="the matrix has one row per sample and one column per feature")
    correct.add_argument("--allow-extra-samples", action="store_true", help="ignore sample-sheet rows for samples that are not in the matrix")
    correct.add_argument("--counts", action="store_true",
                         help="the matrix holds raw read counts: correct them with the negative-binomial "
                         "model and write integer counts (see quarnel.combat_counts)")
    correct.add_argument("--log2", action="store_true", help="take log2 of the values first (for raw intensities); the output stays on the log2 scale")
    correct.add_argument("--pseudocount", type=float, default=0.0, metavar="X", help="with --log2: add X before taking the log (default 0)")
    correct.add_argument("--non-parametric", action="store_true", help="non-parametric empirical-Bayes priors (slower; for effects far from normal)")
    correct.add_argument("--fast", action="store_true",
                         help="with --non-parametric: form the likelihoods from each feature's mean and spread "
                              "rather than from every value (equal to rounding, not bit for bit)")
    correct.add_argument("--mean-only", action="store_true", help="correct each batch's shift only, not its spread")
    correct.add_argument("--reference", metavar="BATCH", help="a batch left unchanged, to which the others are aligned")
    correct.add_argument("--partial-batches", choices=("correct", "pass"), default="correct",
                         help="features missing from whole batches: correct them in the batches where they are "
                              "observed (default), or pass them through unchanged")
    correct.add_argument("--strict", action="store_true", help="fail when some features cannot be estimated instead of passing them through")
    correct.add_argument("--report", metavar="FILE", help="also write what was done, as JSON")
    correct.add_argument("--figure", metavar="FILE", help="also draw principal components before and after (PNG, PDF, SVG, ...; needs matplotlib)")
    correct.add_argument("--save-model", metavar="FILE",
                         help="also save the learned correction, for 'quarnel apply' to correct new samples with (.npz)")
    correct.add_argument("--effects", metavar="FILE",
                         help="also write each batch's estimated effect on each feature as a TSV table")
    correct.add_argument("--group", metavar="COLUMN", help="sample-sheet column to colour the figure's second row by (default: the first covariate)")
    correct.add_argument("--na-rep", default="NA", metavar="TEXT", help="how missing values are written (default NA)")
    correct.add_argument("--digits", type=_digits, metavar="N",
                         help="write values with N significant digits (default: the shortest text that reads back as the same float64)")
    correct.add_argument("--max-dense-gib", type=_positive, default=MAX_DENSE_BYTES / 2**30, metavar="X",
                         help=f"largest size in GiB a sparse .h5ad matrix is made dense to (default {MAX_DENSE_BYTES / 2**30:g}); "
                         "the correction holds about three times that at its peak")
    correct.add_argument("--quiet", "-q", action="store_true", help="print nothing but warnings and errors")
    correct.set_defaults(run=_run_correct, parser=correct)

    apply = commands.add_parser(
        "apply",
        help="correct new samples with a model saved by 'quarnel correct --save-model'",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=textwrap.dedent(
            """\
            Correct a matrix with the batch effects learned by an earlier run, without
            estimating them again: new samples of the batches the model was fitted on
            are corrected exactly as the model's own samples were.

            The matrix and the sample sheet are read as by 'quarnel correct'. The matrix
            needs the model's features in the model's order; the covariates are those of
            the model (given by --covariates or else taken by their names from the
            sample sheet), with no category it has not seen. A batch the model has not
            seen is an error unless --new-batches estimate, which estimates its effects
            from its own samples against the model. Use --log2 if the model was fitted
            with it.

            example:
              quarnel apply model.npz new.tsv --samples new_samples.tsv --batch lab \\
                  --log2 --output new_corrected.tsv
            """
        ),
        epilog=EXIT_CODES,
    )
    apply.add_argument("model", help="the model file written by 'quarnel correct --save-model'")
    apply.add_argument("matrix", help="the matrix to correct (CSV, TSV or .h5ad)")
    apply.add_argument("--samples", "-s", metavar="SHEET", help="the sample sheet (CSV or TSV); required unless the matrix is .h5ad")
    apply.add_argument("--batch", "-b", required=True, metavar="COLUMN", help="sample-sheet column holding each sample's batch")
    apply.add_argument("--output", "-o", required=True, metavar="FILE",
                       help="where to write the corrected matrix, in the layout of the input; '-' for standard output")
    apply.add_argument("--covariates", "-c", action="append", default=[], metavar="COLUMN[,COLUMN]",
                       help="sample-sheet columns holding the model's covariates (default: the model's covariate names)")
    apply.add_argument("--new-batches", choices=("error", "estimate"), default="error",
                       help="batches the model has not seen: an error (default), or estimate their effects against the model")
    apply.add_argument("--sample-column", metavar="COLUMN", help="sample-sheet column with the sample names (default: the first)")
    apply.add_argument("--samples-in-rows", action="store_true", help="the matrix has one row per sample and one column per feature")
    apply.add_argument("--allow-extra-samples", action="store_true", help="ignore sample-sheet rows for samples that are not in the matrix")
    apply.add_argument("--log2", action="store_true", help="take log2 of the values first, as when the model was fitted")
    apply.add_argument("--pseudocount", type=float, default=0.0, metavar="X", help="with --log2: add X before taking the log (default 0)")
    apply.add_argument("--na-rep", default="NA", metavar="TEXT", help="how missing values are written (default NA)")
    apply.add_argument("--digits", type=_digits, metavar="N", help="write values with N significant digits")
    apply.add_argument("--max-dense-gib", type=_positive, default=MAX_DENSE_BYTES / 2**30, metavar="X",
                       help="largest size in GiB a sparse .h5ad matrix is made dense to")
    apply.add_argument("--quiet", "-q", action="store_true", help="print nothing but warnings and errors")
    apply.set_defaults(run=_run_apply, parser=apply)

    demo = commands.add_parser(
        "demo",
        help="correct the bundled Quartet proteomics table and draw the result",
        description="Correct the Quartet proteomics table that ships with quarnel (48 samples, "
        "4 batches, 4 donors; CC BY 4.0, Yu et al., Genome Biology 2023) with the donor as "
        "covariate, and write the corrected table, a JSON report and a before/after figure.",
        epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.add_argument("--output", "-o", default="quarnel-demo", metavar="DIR", help="folder for the results (default: quarnel-demo)")
    demo.add_argument("--no-figure", action="store_true", help="skip the figure")
    demo.add_argument("--quiet", "-q", action="store_true", help="print nothing but warnings and errors")
    demo.set_defaults(run=_run_demo, parser=demo, reference=None, non_parametric=False, mean_only=False, strict=False, na_rep="NA")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return int(args.run(args))
    except UsageError as err:
        args.parser.error(str(err))  # exits with status 2, as for argparse's own errors
    except (InputError, TableError) as err:
        _error(str(err))
        return EXIT_INPUT
    except MissingDependency as err:
        _error(str(err))
        return EXIT_MISSING_DEPENDENCY
    except MemoryError as err:
        _error(f"not enough memory{f': {err}' if str(err) else ''}")
        return EXIT_CORRECTION
    except BrokenPipeError:
        # The reader of standard output went away (| head); what Python still holds for
        # it would only end in a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        _error("standard output was closed before everything was written to it")
        return EXIT_INPUT
    except KeyboardInterrupt:
        _error("interrupted")
        return EXIT_INTERRUPTED
    return EXIT_OK  # pragma: no cover - parser.error does not return


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
