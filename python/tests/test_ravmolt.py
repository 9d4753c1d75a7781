"""Tests of the installed ravmolt Python package: what it restores, the exception of each failure,
that it releases the GIL while it decodes and that decompress_file streams. Run from any folder
but python/ (which would shadow the installed package): python3 -m unittest discover -s python/tests
"""

import os
import pathlib
import re
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest

import ravmolt

ROOT = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "samples" / "lighthouse.rvm"
ORIGINAL = (ROOT / "samples" / "lighthouse.txt").read_bytes()


def one_bit_file(bit_count: int, payload_byte: int) -> bytes:
    """A compressed file of the symbols 'a' (code 0) and 'b' (code 1): each payload bit restores
    one byte, so the output is bit_count bytes from a payload of an eighth of that."""
    table = b"a" + struct.pack("<i", 1) + b"b" + struct.pack("<i", 1)
    checksum = (bit_count + len(table)) % 256
    header = struct.pack("<Bih", checksum, bit_count, len(table))
    return header + table + bytes([payload_byte]) * ((bit_count + 7) // 8)


class Restoring(unittest.TestCase):
    def test_the_sample_from_memory_in_every_buffer_type(self):
        data = SAMPLE.read_bytes()
        for kind in (bytes, bytearray, memoryview):
            with self.subTest(kind=kind.__name__):
                restored = ravmolt.decompress(kind(data))
                self.assertIs(type(restored), bytes)
                self.assertEqual(restored, ORIGINAL)

    def test_a_file_announcing_no_bits_is_empty(self):
        self.assertEqual(ravmolt.decompress(bytes(7)), b"")

    def test_output_larger_than_many_sink_blocks(self):
        restored = ravmolt.decompress(one_bit_file(3_000_001, 0x55))
        self.assertEqual(len(restored), 3_000_001)
        self.assertEqual(restored[:4], b"abab")
        self.assertEqual(restored[-3:], b"aba")  # the last bit, number 3,000,000, is a 0

    def test_text_is_not_bytes(self):
        with self.assertRaises(TypeError):
            ravmolt.decompress("not bytes")

    def test_file_to_file_with_every_kind_of_path(self):
        with tempfile.TemporaryDirectory() as folder:
            for kind in (str, os.fsencode, pathlib.Path):
                with self.subTest(kind=kind.__name__):
                    destination = os.path.join(folder, "out.txt")
                    ravmolt.decompress_file(kind(str(SAMPLE)), kind(destination))
                    self.assertEqual(pathlib.Path(destination).read_bytes(), ORIGINAL)

    def test_versions_agree(self):
        self.assertEqual(ravmolt.library_version(), ravmolt.__version__)


class Failures(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.path = lambda name: os.path.join(self.folder.name, name)

    def check(self, call, error, builtin):
        with self.assertRaises(error) as caught:
            call()
        self.assertIsInstance(caught.exception, ravmolt.Error)
        self.assertIsInstance(caught.exception, builtin)
        self.assertEqual(type(caught.exception), error)
        return caught.exception

    def test_each_failure_raises_its_own_class(self):
        pathlib.Path(self.path("bad.rvm")).write_bytes(b"\x31" + SAMPLE.read_bytes()[1:])
        cases = [
            ("invalid in memory", lambda: ravmolt.decompress(b"junk"),
             ravmolt.InvalidFormatError, ValueError),
            ("invalid file", lambda: ravmolt.decompress_file(self.path("bad.rvm"), self.path("o")),
             ravmolt.InvalidFormatError, ValueError),
            ("missing source", lambda: ravmolt.decompress_file(self.path("none"), self.path("o")),
             ravmolt.SourceNotFoundError, FileNotFoundError),
            ("folder as source", lambda: ravmolt.decompress_file(self.folder.name, self.path("o")),
             ravmolt.SourceNotFoundError, FileNotFoundError),
            ("missing folder", lambda: ravmolt.decompress_file(SAMPLE, self.path("no/such/o")),
             ravmolt.DestinationUnwritableError, OSError),
            ("same file", lambda: ravmolt.decompress_file(SAMPLE, SAMPLE),
             ravmolt.SameFileError, OSError),
        ]
        if os.path.exists("/dev/full"):
            cases.append(("full device", lambda: ravmolt.decompress_file(SAMPLE, "/dev/full"),
                          ravmolt.WriteFailedError, OSError))
        statuses = set()
        for name, call, error, builtin in cases:
            with self.subTest(name):
                exception = self.check(call, error, builtin)
                statuses.add(exception.status)
        self.assertEqual(len(statuses), 5 if os.path.exists("/dev/full") else 4)
        self.assertEqual(ravmolt.decompress(SAMPLE.read_bytes()), ORIGINAL)  # the source is intact
        self.assertEqual(pathlib.Path(self.path("o")).read_bytes(), b"")  # the invalid file's


def run_child(script: str, *args: str) -> subprocess.CompletedProcess:
    """Runs `script` in a fresh interpreter with this one's package; a minute at most."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args],
                          capture_output=True, text=True, timeout=60)


class OutOfMemory(unittest.TestCase):
    # The child restores the file at argv[1] with its address space limited to what it uses now
    # and argv[2] bytes more, and prints the library's own status for the file at argv[3] under
    # the same limit, then the class of what ravmolt.decompress raised (NoneType for nothing).
    SCRIPT = """
        import resource, sys, ravmolt
        from ravmolt import _ravmolt
        data, sample = open(sys.argv[1], "rb").read(), open(sys.argv[3], "rb").read()
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        raised = None
        resource.setrlimit(resource.RLIMIT_AS, (1024 * used + int(sys.argv[2]), hard))
        try:
            sample_status = _ravmolt.decompress(sample)[0]
            ravmolt.decompress(data)
        except BaseException as error:
            raised = error
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(sample_status, type(raised).__name__)
    """

    def test_memory_that_cannot_be_had_raises_memory_error(self):
        # In 256 KiB the interpreter still has room for its own small objects, but the library
        # cannot have the 512 KiB output buffer a long payload decodes into. In 16 MiB it
        # restores the sample, but the 128 MiB the big file restores to cannot be gathered.
        low = ravmolt._ravmolt
        big = one_bit_file(1 << 27, 0x55)
        cases = [
            ("the library's own memory", big, 256 << 10, None, low.OUT_OF_MEMORY),
            ("the restored bytes", big, 16 << 20, SAMPLE, low.SUCCESS),
        ]
        for name, data, room, probe, sample_status in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                source = os.path.join(folder, "in.rvm")
                pathlib.Path(source).write_bytes(data)
                child = run_child(self.SCRIPT, source, str(room), str(probe or source))
                self.assertEqual(child.returncode, 0, child.stderr)
                self.assertEqual(child.stdout.split(), [str(sample_status), "MemoryError"])


class Concurrency(unittest.TestCase):
    def test_decompress_file_releases_the_gil_while_it_waits_for_its_destination(self):
        # The library blocks opening a FIFO until a reader comes. The reader is this interpreter's
        # main thread, which can only get there if the decoding thread let go of the GIL.
        script = """
            import os, sys, threading, time, ravmolt
            fifo, sample = sys.argv[1:3]
            errors = []
            def restore():
                try:
                    ravmolt.decompress_file(sample, fifo)
                except Exception as error:
                    errors.append(error)
            worker = threading.Thread(target=restore)
            worker.start()
            time.sleep(0.3)  # the worker is in the library by now
            with open(fifo, "rb") as pipe:
                sys.stdout.buffer.write(pipe.read())
            worker.join()
            sys.exit(1 if errors else 0)
        """
        with tempfile.TemporaryDirectory() as folder:
            fifo = os.path.join(folder, "pipe")
            os.mkfifo(fifo)
            try:
                child = subprocess.run(
                    [sys.executable, "-c", textwrap.dedent(script), fifo, str(SAMPLE)],
                    capture_output=True, timeout=60)
            except subprocess.TimeoutExpired:
                self.fail("the main thread never ran while decompress_file waited: GIL held")
        self.assertEqual(child.returncode, 0, child.stderr)
        self.assertEqual(child.stdout, ORIGINAL)

    def test_decompress_lets_other_threads_run_while_it_decodes(self):
        data = one_bit_file(1 << 27, 0x55)
        times = {}

        def restore():
            times["start"] = time.perf_counter()
            times["size"] = len(ravmolt.decompress(data))
            times["end"] = time.perf_counter()

        worker = threading.Thread(target=restore)
        ticks = []
        worker.start()
        while worker.is_alive():
            ticks.append(time.perf_counter())
        worker.join()
        self.assertEqual(times["size"], 1 << 27)
        # With the GIL held for the whole decode this thread could not tick in its middle half.
        quarter = (times["end"] - times["start"]) / 4
        middle = [t for t in ticks if times["start"] + quarter < t < times["end"] - quarter]
        self.assertTrue(middle, f"no tick in {4 * quarter:.3f} s of decoding")

    def test_decompress_file_streams_instead_of_holding_the_output(self):
        # 128 MiB restored from 16 MiB; the child's peak resident memory stays far below either.
        # VmHWM, not ru_maxrss: the latter keeps the parent's peak across fork and exec.
        script = """
            import sys, ravmolt
            ravmolt.decompress_file(sys.argv[1], sys.argv[2])
            with open("/proc/self/status") as status:
                print(next(line.split()[1] for line in status if line.startswith("VmHWM:")))
        """
        size = 1 << 27
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "big.rvm")
            destination = os.path.join(folder, "big.txt")
            pathlib.Path(source).write_bytes(one_bit_file(size, 0x00))
            child = run_child(script, source, destination)
            self.assertEqual(child.returncode, 0, child.stderr)
            self.assertEqual(os.path.getsize(destination), size)
            with open(destination, "rb") as restored:
                restored.seek(size - 4)
                self.assertEqual(restored.read(), b"aaaa")
        peak_mib = int(child.stdout) / 1024  # VmHWM is in KiB
        self.assertLess(peak_mib, 48, "decompress_file held the output in memory")


class Signals(unittest.TestCase):
    def test_sigterm_within_discarding_on_signals_leaves_no_partial_file(self):
        # A restore in another thread, long enough to be caught mid-way: SIGTERM removes the
        # incomplete destination, then ends the child by SIGTERM as it would have.
        script = """
            import os, signal, sys, threading, time, ravmolt
            with ravmolt.discarding_on_signals():
                worker = threading.Thread(target=ravmolt.decompress_file, args=sys.argv[1:3])
                worker.start()
                while worker.is_alive() and not os.path.exists(sys.argv[2]):
                    time.sleep(0.001)
                while worker.is_alive() and os.path.getsize(sys.argv[2]) == 0:
                    time.sleep(0.001)
                if not worker.is_alive():
                    sys.exit(3)
                os.kill(os.getpid(), signal.SIGTERM)
                time.sleep(30)
        """
        with tempfile.TemporaryDirectory() as folder:
            source = os.path.join(folder, "big.rvm")
            destination = os.path.join(folder, "big.txt")
            pathlib.Path(source).write_bytes(one_bit_file(1 << 28, 0x55))
            for _ in range(3):
                child = run_child(script, source, destination)
                if child.returncode != 3:
                    break
                os.remove(destination)
            self.assertEqual(child.returncode, -signal.SIGTERM, child.stderr)
            self.assertFalse(os.path.exists(destination))


class DocumentedExamples(unittest.TestCase):
    """Every Python example of the README's "Using the library" and of docs/library.md, run as
    printed in a folder holding the sample as report.rvm."""

    @staticmethod
    def examples():
        readme = (ROOT / "README.md").read_text()
        section = readme.split("\n## Using the library\n", 1)[1].split("\n## ", 1)[0]
        library = (ROOT / "docs" / "library.md").read_text()
        for document, text in (("README.md", section), ("docs/library.md", library)):
            for number, code in enumerate(re.findall(r"\n```python\n(.*?)\n```", text, re.S)):
                yield f"{document} #{number + 1}", code

    def test_every_python_example_runs_as_printed(self):
        examples = list(self.examples())
        self.assertGreaterEqual(len(examples), 2)
        for name, code in examples:
            with self.subTest(example=name), tempfile.TemporaryDirectory() as folder:
                pathlib.Path(folder, "report.rvm").write_bytes(SAMPLE.read_bytes())
                child = subprocess.run([sys.executable, "-c", code], cwd=folder,
                                       capture_output=True, text=True, timeout=60)
                self.assertEqual(child.returncode, 0, child.stderr)
                self.assertEqual(pathlib.Path(folder, "report.txt").read_bytes(), ORIGINAL)


if __name__ == "__main__":
    unittest.main()
