"""ravmolt: restore files made by the ravmolt Huffman compressor.

decompress(data) restores bytes held in memory; decompress_file(source, destination) restores one
file into another, streaming. Each failure raises its own subclass of ravmolt.Error.
"""

import os
from typing import Union

from . import _ravmolt

__all__ = [
    "decompress",
    "decompress_file",
    "library_version",
    "Error",
    "InvalidFormatError",
    "SourceNotFoundError",
    "DestinationUnwritableError",
    "SameFileError",
    "WriteFailedError",
]

__version__ = "1.0.0"

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Error(Exception):
    """A decode that failed. Each subclass names one failure; `status` is the library's number
    for it (a ravmolt_status of <ravmolt/ravmolt_c.h>)."""

    status = None


class InvalidFormatError(Error, ValueError):
    """The source is not a valid compressed file. Nothing was written."""

    status = _ravmolt.INVALID_FORMAT


class SourceNotFoundError(Error, FileNotFoundError):
    """The source cannot be opened for reading, or is a directory."""

    status = _ravmolt.SOURCE_NOT_FOUND


class DestinationUnwritableError(Error, OSError):
    """The destination cannot be created or truncated."""

    status = _ravmolt.DESTINATION_UNWRITABLE


class SameFileError(Error, OSError):
    """Source and destination are one file (links count); it was left intact."""

    status = _ravmolt.SAME_FILE


class WriteFailedError(Error, OSError):
    """Writing the destination failed (a full disk, for instance); nothing incomplete is left."""

    status = _ravmolt.WRITE_FAILED


_ERRORS = {error.status: error for error in Error.__subclasses__()}


def _raise(status: int, subject: str) -> None:
    text = _ravmolt.status_text(status)
    if status == _ravmolt.OUT_OF_MEMORY:
        raise MemoryError(text)
    raise _ERRORS.get(status, Error)(f"{subject}: {text}")


def decompress(data: bytes) -> bytes:
    """Restores the compressed bytes `data` (bytes, bytearray, memoryview or any contiguous
    buffer) and returns the original bytes. Raises InvalidFormatError for an invalid file."""
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


def library_version() -> str:
    """The version of the libravmolt shared library in use."""
    return _ravmolt.library_version()
