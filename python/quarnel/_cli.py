"""The ``quarnel`` command line: correct a table on disk, or run the bundled demo."""

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
from ._combat import UnestimableFeatureWarning, correct_unpacked, labelled
from ._plot import correction_scores
from ._report import CombatReport
from ._table import MISSING_TOKENS, Matrix, SampleSheet, TableError, read_matrix, read_sample_sheet, write_matrix

__all__ = ["main"]

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_INPUT = 3
EXIT_CORRECTION = 4
EXIT_MISSING_DEPENDENCY = 5

EXIT_CODES = f"""\
exit status:
  {EXIT_OK}  success
  {EXIT_USAGE}  the command line is wrong (unknown option, missing argument)
  {EXIT_INPUT}  an input file cannot be read or does not fit: no such file, not a table,
     a cell that is not a number, samples missing from or extra in the sample sheet,
     an unknown column or batch, values <= 0 with --log2; or an output cannot be written
  {EXIT_CORRECTION}  the correction failed on this data (for example a covariate that is
     constant within every batch, a numerical failure, or features that cannot be
     estimated together with --strict)
  {EXIT_MISSING_DEPENDENCY}  a figure was asked for but matplotlib is not installed
     (pip install 'quarnel[plot]')
"""


class InputError(Exception):
    """The input files and the options do not fit together."""


def _say(args: argparse.Namespace, text: str) -> None:
    if not getattr(args, "quiet", False):
        print(text)


def _error(text: str) -> None:
    print(f"quarnel: error: {text}", file=sys.stderr)


def _names(items: Sequence[str], limit: int = 5) -> str:
    shown = ", ".join(repr(x) for x in items[:limit])
    return shown + (f" and {len(items) - limit} more" if len(items) > limit else "")


def _sheet_for(matrix: Matrix, sheet: SampleSheet, sample_column: str | None, allow_extra: bool) -> dict[str, list[str]]:
    """The sample sheet's columns, in the order of the matrix's samples."""
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


def _column(table: dict[str, list[str]], name: str, what: str, path: str) -> list[str]:
    if name not in table:
        raise InputError(f"unknown {what} column {name!r}; the sample sheet {path} has columns {list(table)}")
    values = table[name]
    for i, cell in enumerate(values):
        if cell in MISSING_TOKENS:
            raise InputError(f"{path}: {what} column {name!r} is empty for sample number {i + 1}")
    return values


def _typed(values: list[str]) -> list[Any] | np.ndarray:
    """A sample-sheet column as numbers when every cell is one, else as text."""
    try:
        return np.array([float(v) for v in values], dtype=np.float64)
    except ValueError:
        return values


def _log2(values: np.ndarray, pseudocount: float, matrix: Matrix) -> np.ndarray:
    shifted = values + pseudocount
    bad = np.argwhere(shifted <= 0)
    if bad.size:
        i, j = bad[0]
        raise InputError(
            f"--log2 needs positive values, but {len(bad)} are zero or negative after adding "
            f"the pseudocount {pseudocount:g} (first: feature {matrix.feature_names[j]!r}, "
            f"sample {matrix.sample_names[i]!r}: {values[i, j]:g}); add --pseudocount"
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
    try:
        Path(path).write_text(json.dumps(content, indent=2) + "\n", encoding="utf-8")
    except OSError as err:
        raise TableError(f"{path}: cannot be written ({err.strerror or err})") from None


def _correct(
    args: argparse.Namespace,
    matrix: Matrix,
    values: np.ndarray,
    table: dict[str, list[str]],
    sheet_path: str,
    batch_column: str,
    covariate_columns: list[str],
    group_column: str | None,
    output: Path,
    figure: Path | None,
    report_path: Path | None,
    figure_title: str,
) -> int:
    batch = _column(table, batch_column, "batch", sheet_path)
    covariates = {name: _typed(_column(table, name, "covariate", sheet_path)) for name in covariate_columns}
    group = _column(table, group_column, "group", sheet_path) if group_column else None
    if args.reference is not None and args.reference not in set(batch):
        raise InputError(
            f"--reference {args.reference!r} is not a batch of column {batch_column!r}; "
            f"the batches are {sorted(set(batch))}"
        )
    if figure is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            _error("--figure needs matplotlib, which is not installed: pip install 'quarnel[plot]'")
            return EXIT_MISSING_DEPENDENCY
    with warnings.catch_warnings():
        # The summary below lists the features passed through; no need to warn twice.
        warnings.simplefilter("ignore", UnestimableFeatureWarning)
        try:
            corrected, report = correct_unpacked(
                labelled(values, matrix.sample_names, matrix.feature_names, None),
                batch,
                covariates or None,
                parametric=not args.non_parametric,
                mean_only=args.mean_only,
                reference=args.reference,
                unestimable="raise" if args.strict else "pass",
            )
        except (ValueError, RuntimeError) as err:
            _error(f"the correction failed: {err}")
            return EXIT_CORRECTION
    write_matrix(output, matrix, corrected, na_rep=args.na_rep)
    _summary(args, report)
    _say(args, f"corrected matrix written to {output}")
    scores = None
    if figure is not None:
        scores = _figure(
            args, figure, values, corrected, batch, group, figure_title, (batch_column, group_column or "group")
        )
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
    return EXIT_OK


def _run_correct(args: argparse.Namespace) -> int:
    matrix = read_matrix(args.matrix, samples_in_rows=args.samples_in_rows)
    sheet = read_sample_sheet(args.samples)
    table = _sheet_for(matrix, sheet, args.sample_column, args.allow_extra_samples)
    values = matrix.values
    if args.log2:
        values = _log2(values, args.pseudocount, matrix)
    elif args.pseudocount:
        raise InputError("--pseudocount is added before the log2 transform; it needs --log2")
    covariates = [c for item in args.covariates for c in item.split(",") if c]
    group = args.group or (covariates[0] if covariates else None)
    return _correct(
        args, matrix, values, table, sheet.path, args.batch, covariates, group,
        Path(args.output), Path(args.figure) if args.figure else None,
        Path(args.report) if args.report else None, Path(args.matrix).name,
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
    correct.add_argument("matrix", help="the matrix to correct (CSV or TSV)")
    correct.add_argument("--samples", "-s", required=True, metavar="SHEET", help="the sample sheet (CSV or TSV)")
    correct.add_argument("--batch", "-b", required=True, metavar="COLUMN", help="sample-sheet column holding each sample's batch")
    correct.add_argument("--output", "-o", required=True, metavar="FILE", help="where to write the corrected matrix, in the layout of the input")
    correct.add_argument("--covariates", "-c", action="append", default=[], metavar="COLUMN[,COLUMN]",
                         help="sample-sheet columns whose effects are preserved (biological condition, ...); "
                         "numeric columns are used as numbers, others as categories; repeat or separate with commas")
    correct.add_argument("--sample-column", metavar="COLUMN", help="sample-sheet column with the sample names (default: the first)")
    correct.add_argument("--samples-in-rows", action="store_true", help="the matrix has one row per sample and one column per feature")
    correct.add_argument("--allow-extra-samples", action="store_true", help="ignore sample-sheet rows for samples that are not in the matrix")
    correct.add_argument("--log2", action="store_true", help="take log2 of the values first (for raw intensities); the output stays on the log2 scale")
    correct.add_argument("--pseudocount", type=float, default=0.0, metavar="X", help="with --log2: add X before taking the log (default 0)")
    correct.add_argument("--non-parametric", action="store_true", help="non-parametric empirical-Bayes priors (slower; for effects far from normal)")
    correct.add_argument("--mean-only", action="store_true", help="correct each batch's shift only, not its spread")
    correct.add_argument("--reference", metavar="BATCH", help="a batch left unchanged, to which the others are aligned")
    correct.add_argument("--strict", action="store_true", help="fail when some features cannot be estimated instead of passing them through")
    correct.add_argument("--report", metavar="FILE", help="also write what was done, as JSON")
    correct.add_argument("--figure", metavar="FILE", help="also draw principal components before and after (PNG, PDF, SVG; needs matplotlib)")
    correct.add_argument("--group", metavar="COLUMN", help="sample-sheet column to colour the figure's second row by (default: the first covariate)")
    correct.add_argument("--na-rep", default="NA", metavar="TEXT", help="how missing values are written (default NA)")
    correct.add_argument("--quiet", "-q", action="store_true", help="print nothing but errors")
    correct.set_defaults(run=_run_correct)

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
    demo.add_argument("--quiet", "-q", action="store_true", help="print nothing but errors")
    demo.set_defaults(run=_run_demo, reference=None, non_parametric=False, mean_only=False, strict=False, na_rep="NA")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return int(args.run(args))
    except (InputError, TableError) as err:
        _error(str(err))
        return EXIT_INPUT


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
