#!/usr/bin/env python3
"""The Python package's decodes against the C interface's in-memory call, in one process, on the
same compressed files held in memory: round by round, the C call into a new buffer of the
output's size (through ctypes, with a sink that copies each block there, as the package's own
decompress() does), then decompress(), RavmoltDecompressor fed 64 KiB pieces with 256 KiB of
output at a time, and open().read(). Prints per file the median speed of each in MiB/s of
output and the median of the round-by-round ratios to the C call. The decompressor's pieces of
output are let go as they come, so that it writes into memory used again and again, where the
others write into memory new to the process: the two figures do not measure the same work.

    python3 bench/python_speed.py [--rounds N] file.rvm...

The package must be installed in the interpreter that runs this; the C functions are those the
package's extension carries or links.
"""

import argparse
import ctypes
import io
import statistics
import sys
import time

import ravmolt
from ravmolt import _ravmolt

SINK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
library = ctypes.CDLL(_ravmolt.__file__)  # its own symbols, or those of the libravmolt it links
library.ravmolt_decompress_buffer.argtypes = [ctypes.c_char_p, ctypes.c_size_t, SINK,
                                              ctypes.c_void_p]
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
libc.free.argtypes = [ctypes.c_void_p]


def c_buffer_call(data: bytes, size: int) -> int:
    """The C call into a new buffer of `size` bytes; returns the bytes restored."""
    target = libc.malloc(max(size, 1))
    made = [0]

    def take(context, block, length):
        ctypes.memmove(target + made[0], block, length)
        made[0] += length
        return 1

    status = library.ravmolt_decompress_buffer(data, len(data), SINK(take), None)
    libc.free(target)
    if status != 0:
        raise SystemExit(f"the C call failed with status {status}")
    return made[0]


def streamed(data: bytes) -> int:
    decompressor = ravmolt.RavmoltDecompressor()
    made = 0
    for at in range(0, len(data), 64 << 10):
        made += len(decompressor.decompress(data[at:at + (64 << 10)], 256 << 10))
        while not decompressor.needs_input and not decompressor.eof:
            made += len(decompressor.decompress(b"", 256 << 10))
    return made


WAYS = {
    "decompress": lambda data, size: len(ravmolt.decompress(data)),
    "RavmoltDecompressor": lambda data, size: streamed(data),
    "open().read": lambda data, size: len(ravmolt.open(io.BytesIO(data)).read()),
}


def timed(call, *args):
    start = time.perf_counter()
    made = call(*args)
    return made, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("files", nargs="+")
    arguments = parser.parse_args()
    print(f"ravmolt {ravmolt.library_version()}, {arguments.rounds} rounds; MiB/s of output "
          "(median), and the median ratio to the C call")
    for path in arguments.files:
        with open(path, "rb") as file:
            data = file.read()
        size = len(ravmolt.decompress(data))
        times = {"C call": []}
        ratios = {way: [] for way in WAYS}
        for _ in range(arguments.rounds):
            made, c_time = timed(c_buffer_call, data, size)
            times["C call"].append(c_time)
            for way, call in WAYS.items():
                made, took = timed(call, data, size)
                if made != size:
                    raise SystemExit(f"{way} restored {made} bytes of {size}")
                times.setdefault(way, []).append(took)
                ratios[way].append(c_time / took)
        speeds = "  ".join(f"{way} {size / (1 << 20) / statistics.median(t):.0f}"
                           for way, t in times.items())
        shares = "  ".join(f"{way} {statistics.median(r):.3f}" for way, r in ratios.items())
        print(f"{path} ({size} bytes): {speeds}\n  ratios: {shares}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
