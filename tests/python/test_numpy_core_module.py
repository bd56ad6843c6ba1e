"""NumPy 2 keeps its function table in numpy._core (numpy.core is a
deprecated alias there): the module takes it from there first, and from
numpy.core only where numpy._core does not exist."""
import pytest

from conftest import run_python
from test_module_frame import ABI, FAKE_MULTIARRAY, FEATURE, IMPORT_AND_REPORT, LITTLE

GOOD = "_ARRAY_API = table(%d, %d, %d)" % (ABI, FEATURE, LITTLE)
BROKEN = "raise RuntimeError('the deprecated alias was imported')"
WRONG_ABI = "_ARRAY_API = table(0x3000000, %d, %d)" % (FEATURE, LITTLE)


def fake_numpy(root, modules):
    """A numpy package under root with the given {dotted path: SETUP}."""
    (root / "numpy").mkdir()
    (root / "numpy" / "__init__.py").write_text("")
    for dotted, setup in modules.items():
        *packages, module = dotted.split(".")
        folder = root / "numpy"
        for package in packages:
            folder = folder / package
            folder.mkdir(exist_ok=True)
            (folder / "__init__.py").write_text("")
        (folder / (module + ".py")).write_text(FAKE_MULTIARRAY.replace("SETUP", setup))


@pytest.mark.parametrize("modules, stdout, stderr", [
    ({"_core._multiarray_umath": GOOD, "core.multiarray": BROKEN}, "imported\nin sys.modules: True\n", ""),
    ({"core.multiarray": GOOD}, "imported\nin sys.modules: True\n", ""),
    # numpy._core exists: its table is the one checked, numpy.core is not tried.
    ({"_core._multiarray_umath": WRONG_ABI, "core.multiarray": GOOD},
     "raised: ImportError numpy.core.multiarray failed to import\nin sys.modules: False\n",
     "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x3000000\n"),
], ids=["numpy-2", "numpy-1", "numpy-2-checked"])
def test_the_table_comes_from_numpy_core_underscore_first(tmp_path, modules, stdout, stderr):
    fake_numpy(tmp_path, modules)
    result = run_python(IMPORT_AND_REPORT.replace("PREAMBLE", "sys.path.insert(0, %r)" % str(tmp_path)))
    assert (result.stdout, result.stderr) == (stdout, stderr)
