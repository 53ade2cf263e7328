"""Writing output files whole or not at all."""

from __future__ import annotations

import contextlib
import os
import secrets
import stat
from collections.abc import Iterator

__all__ = ["TEMPORARY_PREFIX", "check_replaceable", "replacing"]

# Temporary files are hidden and start with this, so a folder listing shows what they
# are; they end with the target's own name, so that writers that choose a format by the
# suffix (.gz, .png, .h5ad) choose the target's.
TEMPORARY_PREFIX = ".quarnel-"

# Room left in a file name for the prefix and the random part.
_NAME_MAX = 255 - len(TEMPORARY_PREFIX) - 20


def _create_temporary(target: str) -> str:
    folder, name = os.path.split(os.path.abspath(target))
    for _ in range(100):
        temporary = os.path.join(folder, f"{TEMPORARY_PREFIX}{secrets.token_hex(6)}-{name[-_NAME_MAX:]}")
        try:
            # Created with the usual 0o666 less the umask, so the renamed file has the
            # permissions a plainly written one would have.
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except FileExistsError:
            continue
        return temporary
    raise FileExistsError(f"no free temporary name beside {target}")  # pragma: no cover


def _is_regular(target: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(target).st_mode)
    except FileNotFoundError:
        return True


def check_replaceable(path: str | os.PathLike[str]) -> None:
    """Raise OSError unless :func:`replacing` can make its temporary file for ``path``
    (a folder that lets the file be written but no new one be made, for instance)."""
    target = os.path.realpath(os.fspath(path))
    if _is_regular(target):
        os.unlink(_create_temporary(target))


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str]) -> Iterator[str]:
    """The name of a new, empty file beside ``path`` to write to; when the block ends
    normally it is renamed to ``path``, replacing any file of that name in one step.

    On an error or an interrupt (any exception, KeyboardInterrupt included) the
    temporary file is removed and ``path`` is left as it was, so that a reader never
    finds half a file under the output's name. A file it replaces keeps its permissions.
    A device or a named pipe is not replaced: its own name is given to write to.
    """
    # Through a symbolic link to the file it names, as writing to the link would.
    target = os.path.realpath(os.fspath(path))
    if not _is_regular(target):
        # A device or a pipe (/dev/null, a named pipe) is written to as it is: it holds
        # no file to leave half written, and it must not be replaced by one.
        yield target
        return
    temporary = _create_temporary(target)
    try:
        yield temporary
        with contextlib.suppress(OSError):
            os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
