"""The shipped type stubs match the built module: names, kinds, parameters and defaults."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")
HERE = os.path.dirname(os.path.abspath(__file__))


def test_stubtest_finds_no_mismatch(tmp_path):
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\ncache_dir = " + str(tmp_path / "cache") + "\n")
    out = subprocess.run(
        [sys.executable, "-P", "-m", "mypy.stubtest", "korvex.vla.modular_cuda", "--mypy-config-file", str(config),
         "--allowlist", os.path.join(HERE, "stubtest_allowlist.txt")],
        capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stubs_and_marker_are_installed():
    import korvex.vla.modular_cuda as mc
    folder = os.path.dirname(mc.__file__)
    assert os.path.isfile(os.path.join(folder, "modular_cuda.pyi"))
    assert os.path.isfile(os.path.join(folder, "py.typed"))
