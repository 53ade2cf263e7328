"""A progress bar for long corrections, fed by the core's own progress reports.

The core tells how far a run has come at the points where it asks whether to stop. A
bar appears only once a run has taken a couple of seconds, so short runs print nothing;
it is tqdm's when tqdm is installed, else one line of text rewritten in place.
"""

from __future__ import annotations

import sys
import time
from typing import IO, Any

__all__ = ["ProgressBar", "interactive"]

# Seconds a run may take before a bar is shown.
DELAY = 2.0

# Where each stage of a run lies on the bar, as (start, end) fractions: most of a long
# run is spent estimating.
_SPANS = {"standardise": (0.0, 0.2), "estimate": (0.2, 0.9), "adjust": (0.9, 1.0)}


def interactive() -> bool:
    """Whether a person is likely watching: standard error is a terminal, or a notebook
    kernel is running."""
    stream = sys.stderr
    return bool(getattr(stream, "isatty", lambda: False)()) or "ipykernel" in sys.modules


class ProgressBar:
    """Called as bar(stage, done, total) by the core; close() when the run is over."""

    def __init__(self, stream: IO[str] | None = None) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._start = time.monotonic()
        self._bar: Any = None
        self._shown = False

    def __call__(self, stage: str, done: int, total: int) -> None:
        if not self._shown and time.monotonic() - self._start < DELAY:
            return
        start, end = _SPANS.get(stage, (0.0, 1.0))
        fraction = start + (end - start) * (done / total if total else 0.0)
        self._show(stage, fraction)

    def _show(self, stage: str, fraction: float) -> None:
        percent = int(round(100 * fraction))
        if not self._shown:
            self._shown = True
            try:
                from tqdm.auto import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self._bar = tqdm(total=100, desc="quarnel", unit="%", file=self._stream, leave=False)
        if self._bar is not None:
            self._bar.set_postfix_str(stage, refresh=False)
            self._bar.update(percent - self._bar.n)
            return
        filled = percent // 5
        self._stream.write(f"\rquarnel: {stage:<11} [{'#' * filled}{'.' * (20 - filled)}] {percent:3d}%")
        self._stream.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._shown:
            self._stream.write("\n")
            self._stream.flush()
