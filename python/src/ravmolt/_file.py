"""ravmolt.open() and RavmoltFile: a compressed file read as the file it restores, in the manner
of gzip.open and lzma.open. The restored bytes come from a RavmoltDecompressor fed the compressed
file in pieces, behind an io.BufferedReader; seeking backwards starts the decode again, as gzip
does."""

import builtins
import io
import os
from typing import IO, Optional, Union

from . import _ravmolt

# Compressed bytes read from the underlying file at a time.
READ_SIZE = 128 << 10

FileArgument = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", IO[bytes]]


class _Restored(io.RawIOBase):
    """The restored bytes as a raw stream, for io.BufferedReader to buffer."""

    def __init__(self, fp: IO[bytes], name: str) -> None:
        self._fp = fp
        self._name = name
        self._start = fp.tell() if fp.seekable() else 0
        self._restart()

    def _restart(self) -> None:
        self._decompressor = _ravmolt.Decompressor()
        self._input_ended = False
        self._position = 0
        self._size = -1  # known once the end is reached

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self._fp.seekable()

    def readinto(self, buffer) -> int:
        with memoryview(buffer) as view, view.cast("B") as target:
            data = self.read(len(target))
            target[: len(data)] = data
        return len(data)

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            return self.readall()
        while size and not self._decompressor.eof:
            data = self._decode(size)
            if data:
                self._position += len(data)
                return data
            if self._input_ended and not self._decompressor.eof:
                raise EOFError(f"{self._name}: the compressed file ended before its end")
        if self._decompressor.eof:
            self._size = self._position  # bytes past the payload's end are left, as files do
        return b""

    def readall(self) -> bytes:
        pieces = []
        while True:
            piece = self.read(1 << 30)  # whatever one piece of input restores, at once
            if not piece:
                return b"".join(pieces)
            pieces.append(piece)

    def _decode(self, size: int) -> bytes:
        decompressor = self._decompressor
        data = b""
        if decompressor.needs_input and not self._input_ended:
            data = self._fp.read(READ_SIZE)
            self._input_ended = not data
        try:
            return decompressor.decompress(data, size, input_ended=self._input_ended)
        except EOFError as error:  # TruncatedError: the file ended before its last code
            raise type(error)(f"{self._name}: the compressed file ended before its last code, "
                              f"after {self._position} restored bytes") from None

    def tell(self) -> int:
        return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_CUR:
            offset += self._position
        elif whence == io.SEEK_END:
            if self._size < 0:
                while self.read(io.DEFAULT_BUFFER_SIZE << 4):
                    pass
            offset += self._size
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if offset < self._position:
            self._fp.seek(self._start)
            self._restart()
        while offset > self._position:
            if not self.read(min(offset - self._position, io.DEFAULT_BUFFER_SIZE << 4)):
                break
        return self._position


class RavmoltFile(io.BufferedIOBase):
    """A compressed file opened for reading what it restores: a path (opened and closed here) or
    a binary file object (left open). Every method of a binary file that reads; seek() forwards
    decodes up to the place, backwards starts again from the beginning. A file cut short raises
    ravmolt.TruncatedError, an EOFError, after every byte it could restore."""

    def __init__(self, file: FileArgument, mode: str = "rb") -> None:
        if mode not in ("r", "rb"):
            raise ValueError(f"invalid mode: {mode!r} (ravmolt files are only read)")
        if isinstance(file, (str, bytes, os.PathLike)):
            self._fp: IO[bytes] = builtins.open(file, "rb")
            self._owns_fp = True
            self.name = os.fspath(file)
        elif hasattr(file, "read"):
            self._fp = file
            self._owns_fp = False
            self.name = getattr(file, "name", "")
        else:
            raise TypeError("file must be a path or a binary file object")
        self.mode = "rb"
        named = isinstance(self.name, (str, bytes)) and self.name
        label = os.fsdecode(self.name) if named else "compressed stream"
        self._buffer: Optional[io.BufferedReader] = io.BufferedReader(_Restored(self._fp, label))

    def _open_buffer(self) -> io.BufferedReader:
        if self._buffer is None:
            raise ValueError("I/O operation on closed file")
        return self._buffer

    @property
    def closed(self) -> bool:
        return self._buffer is None

    def close(self) -> None:
        if self._buffer is None:
            return
        try:
            self._buffer.close()
        finally:
            self._buffer = None
            if self._owns_fp:
                self._fp.close()

    def fileno(self) -> int:
        self._open_buffer()
        return self._fp.fileno()

    def readable(self) -> bool:
        self._open_buffer()
        return True

    def writable(self) -> bool:
        self._open_buffer()
        return False

    def seekable(self) -> bool:
        return self._open_buffer().seekable()

    def read(self, size: Optional[int] = -1) -> bytes:
        return self._open_buffer().read(-1 if size is None else size)

    def read1(self, size: int = -1) -> bytes:
        return self._open_buffer().read1(size)

    def readinto(self, buffer) -> int:
        return self._open_buffer().readinto(buffer)

    def readline(self, size: Optional[int] = -1) -> bytes:
        return self._open_buffer().readline(-1 if size is None else size)

    def peek(self, size: int = 0) -> bytes:
        return self._open_buffer().peek(size)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        return self._open_buffer().seek(offset, whence)

    def tell(self) -> int:
        return self._open_buffer().tell()


def open(file: FileArgument, mode: str = "rb", encoding: Optional[str] = None,
         errors: Optional[str] = None, newline: Optional[str] = None):
    """Opens a compressed file to read what it restores: "rb" (or "r") gives a RavmoltFile, "rt"
    an io.TextIOWrapper over one with `encoding`, `errors` and `newline`, as gzip.open does.
    `file` is a path or a binary file object."""
    if mode not in ("r", "rb", "rt"):
        raise ValueError(f"invalid mode: {mode!r} (ravmolt.open reads: 'rb' or 'rt')")
    if mode != "rt" and (encoding is not None or errors is not None or newline is not None):
        raise ValueError("encoding, errors and newline are for text mode ('rt') only")
    binary = RavmoltFile(file, "rb")
    if mode == "rt":
        return io.TextIOWrapper(binary, encoding, errors, newline)
    return binary
