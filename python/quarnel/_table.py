"""Reading and writing delimited matrices and sample sheets without pandas.

The command line and the bundled dataset read tables through this module, so that
``quarnel correct`` works with NumPy alone. Every problem with a file is raised as a
:class:`TableError` whose message names the file, the line and, where it helps, the
column, because the person who reads it has the file open in an editor.
"""

from __future__ import annotations

import csv
import gzip
import io
import math
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO

import numpy as np
import numpy.typing as npt

from ._files import replacing

__all__ = [
    "MISSING_TOKENS",
    "Matrix",
    "SampleSheet",
    "TableError",
    "read_matrix",
    "read_sample_sheet",
    "write_matrix",
]

# Spellings of a missing value in tables written by R, pandas, spreadsheets and
# proteomics tools. Matched exactly, after stripping surrounding white space.
MISSING_TOKENS = frozenset({"", "NA", "NaN", "nan", "NAN", "N/A", "n/a", "NULL", "null", "#N/A"})


class TableError(ValueError):
    """A file could not be read or written, or its content is not a valid table."""


@dataclass(frozen=True)
class Matrix:
    """A numeric matrix read from a file, held samples × features.

    ``corner`` is the text of the header cell above the row names (``None`` when the
    header has no such cell, as in tables written by R's ``write.table``), kept so that
    the corrected matrix can be written back in the layout it came in.
    """

    values: npt.NDArray[np.float64]
    sample_names: list[str]
    feature_names: list[str]
    samples_in_rows: bool
    delimiter: str
    corner: str | None


@dataclass(frozen=True)
class SampleSheet:
    """A sample sheet: one row per sample, cells kept as text."""

    path: str
    columns: list[str]
    rows: list[list[str]]

    def column(self, name: str) -> list[str]:
        return [row[self.columns.index(name)] for row in self.rows]


def _open_text(path: str | os.PathLike[str]) -> IO[str]:
    # utf-8-sig drops the byte-order mark that spreadsheet programs put at the start of
    # a UTF-8 file, which would otherwise become part of the first name.
    name = os.fspath(path)
    if name.endswith(".gz"):
        binary: IO[bytes] = gzip.open(name, "rb")  # type: ignore[assignment]
        return io.TextIOWrapper(binary, encoding="utf-8-sig", newline="")
    return open(name, "r", encoding="utf-8-sig", newline="")


def delimiter_for(path: str | os.PathLike[str], first_line: str | None = None) -> str:
    """Comma for ``.csv`` files, tab for ``.tsv``/``.tab``/``.txt``; else guessed from the
    first line (a tab anywhere in it means tab-separated)."""
    name = os.fspath(path).lower().removesuffix(".gz")
    if name.endswith(".csv"):
        return ","
    if name.endswith((".tsv", ".tab", ".txt")):
        return "\t"
    if first_line is not None and "\t" not in first_line and "," in first_line:
        return ","
    return "\t"


def _separator_hint(path: str | os.PathLike[str], sep: str) -> str:
    """How a file was split, and what to do if that was the wrong separator."""
    kind, other, suffix = ("tab", "comma", ".csv") if sep == "\t" else ("comma", "tab", ".tsv")
    how = "by its name" if _has_known_suffix(path) else "guessed from its first line"
    return f"read as {kind}-separated ({how}); if it is {other}-separated, give it a {suffix} name"


def _read_rows(path: str | os.PathLike[str], delimiter: str | None) -> tuple[list[list[str]], str]:
    try:
        with _open_text(path) as handle:
            text = handle.read()
    except FileNotFoundError:
        raise TableError(f"{os.fspath(path)}: no such file") from None
    except IsADirectoryError:
        raise TableError(f"{os.fspath(path)}: is a directory, not a table") from None
    except PermissionError:
        raise TableError(f"{os.fspath(path)}: permission denied") from None
    except (OSError, EOFError, UnicodeDecodeError) as err:
        raise TableError(f"{os.fspath(path)}: cannot be read as UTF-8 text ({err})") from None
    first_line = text.split("\n", 1)[0]
    sep = delimiter or delimiter_for(path, first_line)
    try:
        rows = [row for row in csv.reader(io.StringIO(text, newline=""), delimiter=sep) if row]
    except csv.Error as err:
        raise TableError(f"{os.fspath(path)}: not a valid delimited table ({err})") from None
    if not rows:
        raise TableError(f"{os.fspath(path)}: the file is empty")
    return rows, sep


def _check_unique(names: Sequence[str], what: str, path: str) -> None:
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise TableError(f"{path}: {what} {name!r} appears more than once")
        seen.add(name)


def read_matrix(
    path: str | os.PathLike[str],
    *,
    samples_in_rows: bool = False,
    delimiter: str | None = None,
) -> Matrix:
    """Read a numeric matrix with names in the first row and the first column.

    By default features are in rows and samples in columns, the layout of most omics
    tables; ``samples_in_rows`` reads the transposed layout. The header may or may not
    hold a cell above the row names. Missing values are any of :data:`MISSING_TOKENS`;
    any other cell that is not a number is an error.
    """
    name = os.fspath(path)
    rows, sep = _read_rows(path, delimiter)
    header = [cell.strip() for cell in rows[0]]
    body = rows[1:]
    if not body:
        raise TableError(f"{name}: the table has a header but no data rows")
    width = len(body[0])
    if len(header) == width:
        corner: str | None = header[0]
        column_names = header[1:]
    elif len(header) == width - 1:
        corner = None
        column_names = header
    else:
        raise TableError(
            f"{name}: the header has {len(header)} fields but line 2 has {width}; "
            "expected a name column followed by one column per "
            + ("feature" if samples_in_rows else "sample")
        )
    if not column_names:
        raise TableError(f"{name}: the table has no data columns when {_separator_hint(path, sep)}")
    row_names: list[str] = []
    values = np.empty((len(body), len(column_names)), dtype=np.float64)
    for r, row in enumerate(body):
        line = r + 2
        if len(row) != width:
            raise TableError(f"{name}: line {line} has {len(row)} fields, expected {width}")
        row_names.append(row[0].strip())
        for c, cell in enumerate(row[1:]):
            text = cell.strip()
            if text in MISSING_TOKENS:
                values[r, c] = math.nan
                continue
            try:
                values[r, c] = float(text)
            except ValueError:
                raise TableError(
                    f"{name}: line {line}, column {column_names[c]!r}: "
                    f"{cell!r} is not a number"
                ) from None
    what_rows, what_cols = ("sample", "feature") if samples_in_rows else ("feature", "sample")
    _check_unique(row_names, what_rows, name)
    _check_unique(column_names, what_cols, name)
    if samples_in_rows:
        return Matrix(values, row_names, column_names, True, sep, corner)
    return Matrix(np.ascontiguousarray(values.T), column_names, row_names, False, sep, corner)


def read_sample_sheet(path: str | os.PathLike[str], *, delimiter: str | None = None) -> SampleSheet:
    """Read a sample sheet: a header row of column names, then one row per sample."""
    name = os.fspath(path)
    rows, sep = _read_rows(path, delimiter)
    columns = [cell.strip() for cell in rows[0]]
    other = "," if sep == "\t" else "\t"
    if len(columns) == 1 and other in columns[0]:
        raise TableError(f"{name}: the sample sheet has a single column when {_separator_hint(path, sep)}")
    body = rows[1:]
    if not body:
        raise TableError(f"{name}: the sample sheet has a header but no rows")
    _check_unique(columns, "column", name)
    for r, row in enumerate(body):
        if len(row) != len(columns):
            raise TableError(
                f"{name}: line {r + 2} has {len(row)} fields, the header has {len(columns)}"
            )
    return SampleSheet(name, columns, [[cell.strip() for cell in row] for row in body])


def _format(value: float, na_rep: str, digits: int | None) -> str:
    # repr is the shortest text that reads back as the same double, so a table written
    # and read again holds exactly the corrected values; fewer digits are the caller's
    # choice of a smaller file.
    if math.isnan(value):
        return na_rep
    return repr(float(value)) if digits is None else format(value, f".{digits}g")


def _matrix_lines(
    matrix: Matrix, values: npt.NDArray[np.float64], na_rep: str, digits: int | None
) -> Iterator[list[str]]:
    if matrix.samples_in_rows:
        row_names, column_names, table = matrix.sample_names, matrix.feature_names, values
    else:
        row_names, column_names, table = matrix.feature_names, matrix.sample_names, values.T
    header = list(column_names)
    if matrix.corner is not None:
        header.insert(0, matrix.corner)
    yield header
    for name, row in zip(row_names, table):
        yield [name, *(_format(v, na_rep, digits) for v in row.tolist())]


def write_matrix(
    path: str | os.PathLike[str],
    matrix: Matrix,
    values: npt.NDArray[np.float64],
    *,
    na_rep: str = "NA",
    delimiter: str | None = None,
    digits: int | None = None,
) -> None:
    """Write ``values`` (samples × features) in the layout ``matrix`` was read in.

    ``path`` ``"-"`` is standard output. ``digits`` gives each value that many
    significant digits; by default the shortest text that reads back to the same
    float64. A file is written under a temporary name and renamed when complete, so
    that a failed or interrupted write leaves ``path`` as it was.
    """
    # The output keeps the input's separator unless its name says otherwise.
    if delimiter is not None:
        sep = delimiter
    elif _has_known_suffix(path):
        sep = delimiter_for(path)
    else:
        sep = matrix.delimiter
    lines: Iterable[list[str]] = _matrix_lines(matrix, values, na_rep, digits)
    if os.fspath(path) == "-":
        csv.writer(sys.stdout, delimiter=sep, lineterminator="\n").writerows(lines)
        sys.stdout.flush()
        return
    name = os.fspath(path)
    try:
        with replacing(name) as temporary, open(temporary, "wb") as raw:
            # The gzip header names the target, not the temporary file.
            binary: IO[bytes] = gzip.GzipFile(name, "wb", fileobj=raw) if name.endswith(".gz") else raw  # type: ignore[assignment]
            with io.TextIOWrapper(binary, encoding="utf-8", newline="") as handle:
                csv.writer(handle, delimiter=sep, lineterminator="\n").writerows(lines)
    except OSError as err:
        raise TableError(f"{os.fspath(path)}: cannot be written ({err.strerror or err})") from None


def _has_known_suffix(path: str | os.PathLike[str]) -> bool:
    name = os.fspath(path).lower().removesuffix(".gz")
    return name.endswith((".csv", ".tsv", ".tab", ".txt"))
