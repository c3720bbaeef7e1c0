"""pip installs ./python into a virtual environment of its own, offline,
with Debian's setuptools and wheel, as the README says; the module it
installed (not the source tree's) then loads the library and works, with
its py.typed, and calls itself the library's version."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]

INSTALLED = """
import importlib.metadata, pathlib, kestrane
package = pathlib.Path(kestrane.__file__).parent
print(package)
print((package / "py.typed").is_file())
print(importlib.metadata.version("kestrane"), kestrane.version())
print(len(kestrane.parts()) > 0, kestrane.Image.parse(b"\\x02\\x00\\x10", "fw.bin").data.hex())
"""


def test_pip_installs_the_module_offline_into_a_virtual_environment(tmp_path):
    # A copy, since setuptools builds in the tree it is given.
    source = tmp_path / "source"
    shutil.copytree(TOP / "python", source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    environment = {name: value for name, value in os.environ.items() if name not in ("PYTHONPATH", "PYTHONHOME")}
    environment.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", PIP_NO_INDEX="1")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True, env=environment)
    python = str(venv / "bin" / "python")
    pip = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", str(source)],
                         capture_output=True, text=True, env=environment)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    run = subprocess.run([python, "-c", INSTALLED], capture_output=True, text=True, env=environment, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    package, typed, versions, works = run.stdout.splitlines()
    assert Path(package).is_relative_to(venv) and typed == "True"
    installed, library = versions.split()
    assert installed == library, "python/pyproject.toml's version is not the library's"
    assert works == "True 020010"
