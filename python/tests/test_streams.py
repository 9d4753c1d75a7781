"""Tests of the package's gzip- and lzma-like side: RavmoltDecompressor fed in pieces, and open()
with RavmoltFile read every way a binary or text file is, checked against io.BytesIO over the
original; what decompress() does with tables that lie, buffers that change and Ctrl-C."""

import io
import os
import pathlib
import queue
import signal
import struct
import tempfile
import threading
import time
import unittest

import ravmolt
from test_ravmolt import ORIGINAL, SAMPLE, one_bit_file

COMPRESSED = SAMPLE.read_bytes()
# About 300 KiB restored: more than the reader's buffers and one piece of compressed input.
LONG = one_bit_file(300_001, 0x36)
LONG_ORIGINAL = ravmolt.decompress(LONG)


def pieces(data: bytes, size: int):
    return [data[at:at + size] for at in range(0, len(data), size)]


def with_counts(data: bytes, first: int, second: int) -> bytes:
    """A one-bit file with other counts in its table: the two codes stay one bit each."""
    return (data[:7] + data[7:8] + struct.pack("<i", first) + data[12:13] +
            struct.pack("<i", second) + data[17:])


class Decompressor(unittest.TestCase):
    def restore(self, data: bytes, piece: int, max_length: int = -1) -> bytes:
        decompressor = ravmolt.RavmoltDecompressor()
        out = []
        for chunk in pieces(data, piece):
            out.append(decompressor.decompress(chunk, max_length))
            while not decompressor.needs_input and not decompressor.eof:
                out.append(decompressor.decompress(b"", max_length))
                if max_length >= 0:
                    self.assertLessEqual(len(out[-1]), max_length)
        self.assertTrue(decompressor.eof)
        self.assertEqual(decompressor.unused_data, b"")
        return b"".join(out)

    def test_every_piece_size_and_output_limit(self):
        for data, original in ((COMPRESSED, ORIGINAL), (LONG, LONG_ORIGINAL)):
            for piece in (1, 2, 7, 13, 64, 4096, 65536, len(data)):
                for max_length in (-1, 1, 1000, 1 << 20):
                    if piece == 1 and len(data) > 10_000 and max_length != -1:
                        continue  # a minute of Python calls, for what the sample checks already
                    with self.subTest(size=len(data), piece=piece, max_length=max_length):
                        self.assertEqual(self.restore(data, piece, max_length), original)

    def test_bytes_past_the_end_are_unused_data(self):
        for split in (0, 10, len(COMPRESSED) - 1):
            with self.subTest(split=split):
                decompressor = ravmolt.RavmoltDecompressor()
                data = COMPRESSED + b"next file"
                out = decompressor.decompress(data[:split]) + decompressor.decompress(data[split:])
                self.assertEqual(out, ORIGINAL)
                self.assertTrue(decompressor.eof)
                self.assertEqual(decompressor.unused_data, b"next file")
                with self.assertRaises(EOFError):
                    decompressor.decompress(b"more")

    def test_needs_input_says_whether_output_is_waiting(self):
        decompressor = ravmolt.RavmoltDecompressor()
        self.assertTrue(decompressor.needs_input)
        self.assertEqual(decompressor.decompress(COMPRESSED[:100], 0), b"")
        first = decompressor.decompress(COMPRESSED[100:], 10)
        self.assertEqual(first, ORIGINAL[:10])
        self.assertFalse(decompressor.needs_input)  # more is ready without input
        self.assertFalse(decompressor.eof)
        self.assertEqual(first + decompressor.decompress(b""), ORIGINAL)
        self.assertTrue(decompressor.eof)
        self.assertFalse(decompressor.needs_input)

    def test_input_that_was_kept_is_a_copy(self):
        data = bytearray(COMPRESSED)
        decompressor = ravmolt.RavmoltDecompressor()
        out = decompressor.decompress(data, 5)
        data[:] = bytes(len(data))  # the decoder must not read this
        while not decompressor.eof:
            out += decompressor.decompress(b"")
        self.assertEqual(out, ORIGINAL)

    def test_failures(self):
        cut = COMPRESSED[:-3]
        cases = [
            ("bad checksum", b"\x31" + COMPRESSED[1:], False, ravmolt.InvalidFormatError),
            ("header cut short", COMPRESSED[:5], True, ravmolt.InvalidFormatError),
            ("payload cut short", cut, True, ravmolt.TruncatedError),
        ]
        for name, data, ended, error in cases:
            with self.subTest(name):
                decompressor = ravmolt.RavmoltDecompressor()
                out = b""
                with self.assertRaises(error):
                    out += decompressor.decompress(data, input_ended=ended)
                    out += decompressor.decompress(b"", input_ended=ended)
                self.assertEqual(out, ORIGINAL[:len(out)])
                if error is ravmolt.TruncatedError:  # all but the codes of the 24 bits cut off
                    self.assertGreaterEqual(len(out), len(ORIGINAL) - 24)
                with self.assertRaises(error):  # and it stays failed
                    decompressor.decompress(b"", input_ended=ended)
        unfinished = ravmolt.RavmoltDecompressor()
        unfinished.decompress(cut)  # without input_ended, it waits for more
        self.assertTrue(unfinished.needs_input)
        self.assertFalse(unfinished.eof)

    def test_the_status_table(self):
        self.assertTrue(issubclass(ravmolt.TruncatedError, EOFError))
        self.assertTrue(issubclass(ravmolt.TruncatedError, ravmolt.Error))
        self.assertEqual(ravmolt.TruncatedError.status, ravmolt._ravmolt.TRUNCATED)
        for name in ("NEEDS_INPUT", "OUTPUT_PENDING"):  # not failures: no exception for them
            self.assertNotIn(getattr(ravmolt._ravmolt, name), ravmolt._ERRORS)

    def test_one_object_used_by_threads_in_turn(self):
        decompressor = ravmolt.RavmoltDecompressor()
        work, out = queue.Queue(), []

        def worker():
            while (chunk := work.get()) is not None:
                out.append(decompressor.decompress(chunk))
                work.task_done()

        threads = [threading.Thread(target=worker) for _ in range(3)]
        for thread in threads:
            thread.start()
        for chunk in pieces(LONG, 997):
            work.put(chunk)
            work.join()  # one piece at a time, by whichever thread takes it
        for _ in threads:
            work.put(None)
        for thread in threads:
            thread.join()
        self.assertEqual(b"".join(out), LONG_ORIGINAL)
        self.assertTrue(decompressor.eof)


class Files(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.path = os.path.join(folder.name, "long.rvm")
        pathlib.Path(self.path).write_bytes(LONG)

    def test_reading_in_every_chunk_size(self):
        sizes = list(range(1, 65)) + [4096, 8191, 65536, 1 << 20]
        for data, original in ((COMPRESSED, ORIGINAL), (LONG, LONG_ORIGINAL)):
            for size in sizes:
                if len(data) > 10_000 and size < 64 and size % 16:
                    continue  # the long file one byte at a time is slow for nothing more
                for how in ("read", "read1", "readinto"):
                    with self.subTest(size=size, how=how), ravmolt.open(io.BytesIO(data)) as f:
                        out = bytearray()
                        while True:
                            if how == "readinto":
                                room = bytearray(size)
                                got = room[:f.readinto(room)]
                            else:
                                got = getattr(f, how)(size)
                            if not got:
                                break
                            self.assertLessEqual(len(got), size)
                            out += got
                        self.assertEqual(out, original)

    def test_lines_and_text(self):
        with ravmolt.open(SAMPLE) as f:
            self.assertEqual(list(f), ORIGINAL.splitlines(keepends=True))
        with ravmolt.open(SAMPLE) as f:
            self.assertEqual(f.readline(5), ORIGINAL[:5])
            self.assertEqual(f.readline(), ORIGINAL[5:ORIGINAL.index(b"\n") + 1])
        text = ORIGINAL.decode("utf-8")
        with ravmolt.open(str(SAMPLE), "rt", encoding="utf-8") as f:
            self.assertEqual(f.read(), text)
        with io.TextIOWrapper(ravmolt.open(SAMPLE), encoding="utf-8", newline="") as f:
            self.assertEqual(f.readlines(), text.splitlines(keepends=True))

    def test_seek_both_ways_as_bytesio_does(self):
        size = len(LONG_ORIGINAL)
        steps = [(10, 0), (5, 1), (0, 1), (200_000, 0), (100, 0), (-7, 1), (-10, 2), (0, 0),
                 (3, 0), (0, 2), (150_000, 0)]
        expected = io.BytesIO(LONG_ORIGINAL)
        with ravmolt.open(self.path) as f:
            self.assertTrue(f.seekable())
            for offset, whence in steps:
                with self.subTest(offset=offset, whence=whence):
                    self.assertEqual(f.seek(offset, whence), expected.seek(offset, whence))
                    self.assertEqual(f.tell(), expected.tell())
                    self.assertEqual(f.read(300), expected.read(300))
            self.assertEqual(f.peek(1)[:1], LONG_ORIGINAL[f.tell():f.tell() + 1])
            self.assertEqual(f.tell(), expected.tell())  # peek does not move
            self.assertEqual(f.seek(size + 5), size)  # past the end, as gzip: at the end

    def test_file_object_and_path_attributes(self):
        raw = open(self.path, "rb")
        self.addCleanup(raw.close)
        with ravmolt.open(raw) as f:
            self.assertEqual(f.name, self.path)
            self.assertEqual(f.fileno(), raw.fileno())
            self.assertTrue(f.readable())
            self.assertFalse(f.writable())
        self.assertTrue(f.closed)
        self.assertFalse(raw.closed)  # the caller's own file stays open
        with self.assertRaises(ValueError):
            f.read()
        with ravmolt.open(pathlib.Path(self.path)) as f:
            self.assertEqual(f.read(), LONG_ORIGINAL)
        self.assertTrue(f._fp.closed)
        with self.assertRaises(io.UnsupportedOperation):
            ravmolt.open(io.BytesIO(LONG)).fileno()
        for mode, keywords in (("wb", {}), ("rb", {"encoding": "utf-8"}), ("a", {})):
            with self.subTest(mode=mode), self.assertRaises(ValueError):
                ravmolt.open(self.path, mode, **keywords)

    def test_input_cut_short(self):
        for cut in (5, 30, len(LONG) // 2, len(LONG) - 1):
            for read in (lambda f: f.read(), lambda f: list(f), lambda f: f.seek(0, 2)):
                with self.subTest(cut=cut), ravmolt.open(io.BytesIO(LONG[:cut])) as f:
                    error = ravmolt.InvalidFormatError if cut < 30 else ravmolt.TruncatedError
                    with self.assertRaises(error) as caught:
                        read(f)
                    if error is ravmolt.TruncatedError:
                        self.assertIsInstance(caught.exception, EOFError)
                        self.assertIn("ended before", str(caught.exception))

    def test_one_file_read_by_threads_in_turn(self):
        out = []
        with ravmolt.open(self.path) as f:
            for _ in range(40):
                thread = threading.Thread(target=lambda: out.append(f.read(8000)))
                thread.start()
                thread.join()
        self.assertEqual(b"".join(out), LONG_ORIGINAL[:320_000])


class InMemory(unittest.TestCase):
    def test_tables_whose_counts_lie(self):
        # Judged by decompress_file, which streams to a file and never sizes anything from
        # the table. The counts decide which symbol is 0 and which 1, or leave one without code.
        bits = 3_000_001
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        source, restored = (os.path.join(folder.name, name) for name in ("in.rvm", "out"))
        for first, second in ((1, 1), (0x7FFFFFFF, 0x7FFFFFFF), (bits, 1), (-5, 9)):
            with self.subTest(counts=(first, second)):
                data = with_counts(one_bit_file(bits, 0x36), first, second)
                pathlib.Path(source).write_bytes(data)
                ravmolt.decompress_file(source, restored)
                expected = pathlib.Path(restored).read_bytes()
                self.assertEqual(len(expected), bits)
                self.assertEqual(ravmolt.decompress(data), expected)
                self.assertEqual(ravmolt.decompress(bytearray(data)), expected)

    def test_a_buffer_changed_during_the_call_does_not_change_the_output(self):
        data = bytearray(one_bit_file(1 << 27, 0x36))
        expected = ravmolt.decompress(bytes(data))
        changed = []

        def change(number, frame):
            data[100:] = bytes(len(data) - 100)
            changed.append(True)

        previous = signal.signal(signal.SIGALRM, change)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.02)
            restored = ravmolt.decompress(data)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        self.assertTrue(changed)
        self.assertEqual(restored, expected)

    def test_ctrl_c_stops_a_long_decode(self):
        data = one_bit_file(1 << 28, 0x36)
        made = []

        def decompressor(data):
            made.append(ravmolt.RavmoltDecompressor())
            return made[-1].decompress(data)

        calls = [("decompress", ravmolt.decompress), ("decompressor", decompressor)]
        for name, call in calls:
            with self.subTest(name):
                start = time.perf_counter()
                call(data)
                whole = time.perf_counter() - start
                timer = threading.Timer(whole / 6, os.kill, (os.getpid(), signal.SIGINT))
                start = time.perf_counter()
                timer.start()
                with self.assertRaises(KeyboardInterrupt):
                    call(data)
                timer.join()
                self.assertLess(time.perf_counter() - start, whole * 0.75, f"whole: {whole:.2f} s")
        with self.assertRaises(ValueError):  # its output was lost: it cannot go on
            made[-1].decompress(b"")

if __name__ == "__main__":
    unittest.main()
