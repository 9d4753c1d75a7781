# The types of the C extension under the ravmolt package; its public names are re-exported by
# ravmolt/__init__.py, which is typed itself.
from typing import Dict, Optional, Tuple

from _typeshed import ReadableBuffer, StrOrBytesPath

VERSION: str
# (value, NAME, text, name of the built-in exception or "None") for each status of the library.
STATUSES: Tuple[Tuple[int, str, str, str], ...]
SUCCESS: int
INVALID_FORMAT: int
SOURCE_NOT_FOUND: int
DESTINATION_UNWRITABLE: int
SAME_FILE: int
WRITE_FAILED: int
OUT_OF_MEMORY: int
INVALID_ARGUMENT: int
TRUNCATED: int
NEEDS_INPUT: int
OUTPUT_PENDING: int

def decompress(data: ReadableBuffer, /) -> Tuple[int, Optional[bytes]]: ...
def decompress_file(source: StrOrBytesPath, destination: StrOrBytesPath, /) -> int: ...
def status_text(status: int, /) -> str: ...
def set_errors(errors: Dict[int, type], /) -> None: ...
def library_version() -> str: ...
def discard_incomplete_destinations() -> None: ...

class Decompressor:
    def __init__(self) -> None: ...
    def decompress(self, data: ReadableBuffer, max_length: int = -1, *,
                   input_ended: bool = False) -> bytes: ...
    @property
    def eof(self) -> bool: ...
    @property
    def needs_input(self) -> bool: ...
    @property
    def unused_data(self) -> bytes: ...
