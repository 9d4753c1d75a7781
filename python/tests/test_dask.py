"""The Dask recipe of docs/dask.md, run as printed on a LocalCluster of two worker processes over
a few hundred small files, one of them invalid. Skipped where Dask is not installed, unless
RAVMOLT_REQUIRE_DASK=1 (as in CI) makes that a failure."""

import os
import pathlib
import re
import tempfile
import unittest

import ravmolt
from test_ravmolt import ROOT, SAMPLE, one_bit_file

try:
    import dask  # noqa: F401
    from distributed import Client, LocalCluster
except ImportError:
    if os.environ.get("RAVMOLT_REQUIRE_DASK") == "1":
        raise
    Client = None


@unittest.skipIf(Client is None, "Dask and distributed are not installed")
class DaskRecipe(unittest.TestCase):
    def test_every_file_restored_and_the_failure_returned(self):
        recipe = re.search(r"\n```python\n(.*?)\n```", (ROOT / "docs" / "dask.md").read_text(),
                           re.S).group(1)
        namespace = {"__name__": "dask_recipe"}  # not importable: the workers get it by value
        exec(recipe, namespace)
        with tempfile.TemporaryDirectory() as folder:
            expected = {}
            for number in range(300):
                data = one_bit_file(997 + 13 * number, number % 256)
                path = os.path.join(folder, f"{number:03}.rvm")
                pathlib.Path(path).write_bytes(data)
                expected[path] = ravmolt.decompress(data)
            expected[os.path.join(folder, "sample.rvm")] = ravmolt.decompress(SAMPLE.read_bytes())
            pathlib.Path(folder, "sample.rvm").write_bytes(SAMPLE.read_bytes())
            bad = os.path.join(folder, "bad.rvm")
            pathlib.Path(bad).write_bytes(b"\x31" + SAMPLE.read_bytes()[1:])
            with LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                              dashboard_address=None) as cluster, Client(cluster):
                failed = namespace["restore_all"](sorted([*expected, bad]), partitions=8)
            self.assertEqual(list(failed), [bad])
            self.assertIs(type(failed[bad]), ravmolt.InvalidFormatError)
            for path, original in expected.items():
                self.assertEqual(pathlib.Path(path[:-4]).read_bytes(), original, path)
            self.assertEqual(pathlib.Path(bad[:-4]).read_bytes(), b"")  # left empty


if __name__ == "__main__":
    unittest.main()
