"""ravmolt: restore files made by the ravmolt Huffman compressor.

decompress(data) restores bytes held in memory; decompress_file(source, destination) restores one
file into another, streaming; open() reads a compressed file as the file it restores, and
RavmoltDecompressor restores one fed in pieces, as gzip and lzma do. Each failure raises its own
subclass of ravmolt.Error.
"""

import builtins
import contextlib
import os
import signal
from typing import Iterator, Union

from . import _ravmolt

__version__ = _ravmolt.VERSION

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(Exception):
    """A decode that failed. Each subclass names one failure; `status` is the library's number
    for it (a ravmolt_status of <ravmolt/ravmolt_c.h>)."""

    status = None


def _error_class(status: int, name: str, text: str, base: type) -> type:
    """The exception of one failure: InvalidFormatError for INVALID_FORMAT, and so on."""
    class_name = "".join(word.capitalize() for word in name.split("_")) + "Error"
    return type(class_name, (Error, base), {
        "status": status,
        "__doc__": f"Raised when {text}.",
        "__module__": __name__,
    })


def _exceptions() -> dict:
    """The exception of each failure in the library's status list, by status."""
    errors = {}
    for status, name, text, python in _ravmolt.STATUSES:
        if python == "None":
            continue
        base = getattr(builtins, python)
        errors[status] = base if python == "MemoryError" else _error_class(status, name, text, base)
    return errors


_ERRORS = _exceptions()
globals().update({e.__name__: e for e in _ERRORS.values() if issubclass(e, Error)})
_ravmolt.set_errors(_ERRORS)

RavmoltDecompressor = _ravmolt.Decompressor
from ._file import RavmoltFile, open  # noqa: E402 (after the exceptions, which it raises)

__all__ = ["decompress", "decompress_file", "library_version", "open", "RavmoltFile",
           "RavmoltDecompressor", "Error", "discard_incomplete_destinations",
           "discarding_on_signals"] + sorted(
    e.__name__ for e in _ERRORS.values() if issubclass(e, Error))


def _raise(status: int, subject: str) -> None:
    text = _ravmolt.status_text(status)
    error = _ERRORS.get(status, Error)
    if not issubclass(error, Error):
        raise error(text)
    raise error(f"{subject}: {text}")


def decompress(data: bytes) -> bytes:
    """Restores the compressed bytes `data` (bytes, bytearray, memoryview or any contiguous
    buffer) and returns the original bytes. Raises InvalidFormatError for an invalid file.

    A buffer that can be written to, such as a bytearray, is copied first, so that nothing done
    to it during the call changes the output. The decode releases the GIL; in the main thread a
    signal (Ctrl-C's KeyboardInterrupt) stops it within a few hundredths of a second."""
    status, restored = _ravmolt.decompress(data)
    if status != _ravmolt.SUCCESS:
        _raise(status, "compressed data")
    return restored


def decompress_file(source: Path, destination: Path) -> None:
    """Restores the compressed file `source` into `destination` (created, or overwritten), without
    holding the output in memory. Raises SourceNotFoundError, DestinationUnwritableError,
    SameFileError, InvalidFormatError (the destination is left empty) or WriteFailedError."""
    status = _ravmolt.decompress_file(source, destination)
    if status != _ravmolt.SUCCESS:
        _raise(status, f"{os.fsdecode(source)} -> {os.fsdecode(destination)}")


def discard_incomplete_destinations() -> None:
    """Empties and removes the destination of every decompress_file() under way in this process,
    once its writes have stopped; those calls then raise WriteFailedError. For a handler of a
    signal that ends the program."""
    _ravmolt.discard_incomplete_destinations()


@contextlib.contextmanager
def discarding_on_signals(*signals: int) -> Iterator[None]:
    """Within the block, each of `signals` (SIGTERM and SIGHUP when none are given) first discards
    the incomplete destinations of decompress_file() calls under way, as
    discard_incomplete_destinations() does, then is handled as it was before the block (by
    default, it ends the program). Python runs handlers in the main thread between bytecodes, so
    a call made in the main thread ends first: make long calls in another thread to have them
    cut short. Enter it in the main thread, as signal.signal requires."""
    numbers = signals or (signal.SIGTERM, signal.SIGHUP)
    previous = {number: signal.getsignal(number) for number in numbers}

    def handle(number, frame):
        _ravmolt.discard_incomplete_destinations()
        signal.signal(number, previous[number])
        signal.raise_signal(number)

    for number in numbers:
        signal.signal(number, handle)
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def library_version() -> str:
    """The version of the libravmolt shared library in use."""
    return _ravmolt.library_version()
