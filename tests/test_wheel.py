"""The repaired wheel runs with nothing from the build machine but an interpreter.

`./dev test` builds the wheel and names it in VORL_WHEEL. The test installs it
into a fresh virtual environment and runs it in a private mount namespace in
which every copy of the system's libfmt is masked by an empty file.
"""
import glob
import os
import subprocess
import sys
import zipfile

import pytest

WHEEL = os.environ.get("VORL_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="VORL_WHEEL names no repaired wheel")

PROBE = """
import ctypes, sys
for path in sys.argv[1:]:
    try:
        ctypes.CDLL(path)
    except OSError:
        continue
    sys.exit(f"{path} is still loadable")
import hashlib, numpy as np, vorl
from _vorl.extractor import GammatoneFilterbank
x = (np.arange(8192) * 7919 % 1000 - 500) / 512.0
gram = vorl.gammatonegram(x, 16000, num_bands=12, temporal_integration=0.004)
frame = GammatoneFilterbank(num_samples=256, num_features=5)(list(x[:256]))
print(vorl.__file__)
print(hashlib.sha256(gram.tobytes() + np.array(frame).tobytes()).hexdigest())
"""


def system_libfmt():
    found = set()
    for pattern in ("/usr/lib/*/libfmt.so*", "/usr/lib/libfmt.so*", "/lib/*/libfmt.so*"):
        found.update(os.path.realpath(p) for p in glob.glob(pattern))
    return sorted(found)


def test_wheel_needs_no_system_libfmt(tmp_path):
    import hashlib

    import numpy as np

    import vorl
    from _vorl.extractor import GammatoneFilterbank

    names = zipfile.ZipFile(WHEEL).namelist()
    assert "manylinux" in os.path.basename(WHEEL)
    assert any(n.startswith("vorl.libs/libfmt") for n in names)
    assert any(n.endswith("licenses/LICENSE") for n in names)

    masked = system_libfmt()
    assert masked, "no system libfmt to hide: the check would prove nothing"
    if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode:
        pytest.skip("cannot make a private mount namespace here")

    env_dir = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
    python = str(env_dir / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", WHEEL], check=True,
                   capture_output=True)
    mounts = "".join(f"mount --bind /dev/null {p} && " for p in masked)
    run = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", "sh", "-c",
         f'{mounts}code=$1; shift; exec "$0" -I -c "$code" "$@"', python, PROBE, *masked],
        capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    location, digest = run.stdout.split()

    x = (np.arange(8192) * 7919 % 1000 - 500) / 512.0
    gram = vorl.gammatonegram(x, 16000, num_bands=12, temporal_integration=0.004)
    frame = GammatoneFilterbank(num_samples=256, num_features=5)(list(x[:256]))
    assert location.startswith(str(env_dir))
    assert digest == hashlib.sha256(gram.tobytes() + np.array(frame).tobytes()).hexdigest()
