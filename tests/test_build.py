"""A build that lacks Eigen or fmt says which package to install."""
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")


@pytest.mark.skipif(CMAKE is None or not (ROOT / "CMakeLists.txt").exists(),
                    reason="needs cmake and the source tree")
@pytest.mark.parametrize("package, debian", [("Eigen3", "libeigen3-dev"), ("fmt", "libfmt-dev")])
def test_missing_dependency_names_the_package(tmp_path, package, debian):
    run = subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(tmp_path),
                          f"-DCMAKE_DISABLE_FIND_PACKAGE_{package}=ON"],
                         capture_output=True, text=True)
    assert run.returncode != 0
    assert f"apt-get install {debian}" in " ".join(run.stderr.split())
