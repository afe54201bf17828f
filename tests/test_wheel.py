"""The wheel of scripts/wheel.sh for this interpreter's version, in a fresh virtual environment,
used from a directory that has nothing of the project."""

import filecmp
import glob
import os
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Packaging, not memory: nothing to learn from a sanitizer build here.
pytestmark = pytest.mark.skipif(bool(os.environ.get("TVX_SANITIZER")), reason="sanitizer run")


@pytest.fixture(scope="module")
def wheel():
    given = os.environ.get("TVX_WHEEL")  # reuse a wheel built beforehand
    if given:
        return given
    proc = subprocess.run(
        ["bash", os.path.join(ROOT, "scripts", "wheel.sh"), sys.executable],
        capture_output=True,
        text=True,
        env=clean_env(),
    )
    assert proc.returncode == 0, proc.stderr
    return os.path.join(ROOT, proc.stdout.split()[-1])


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    where = tmp_path_factory.mktemp("fresh")
    env_dir = where / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(env_dir)], check=True)
    python = str(env_dir / "bin" / "python")
    subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index", wheel], check=True, env=clean_env()
    )
    return python, where


def clean_env():
    """The environment without what points Python or the loader at this checkout's builds."""
    env = {
        k: v
        for k, v in os.environ.items()
        if not k.startswith(
            ("PYTHONPATH", "PYTHONHOME", "PYTHONMALLOC", "VIRTUAL_ENV", "LD_", "ASAN_", "UBSAN_", "TSAN_", "TVX_")
        )
    }
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(python, cwd, *args):
    return subprocess.run([python] + list(args), cwd=str(cwd), env=clean_env(), capture_output=True, text=True)


def test_wheel_holds_both_libraries_the_control_package_and_the_stub(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    assert {
        "libTavrolixInterfacePY.so",
        "tavrolix_open_api.pyi",
        "py.typed",
        "tavrolix_open_api-stubs/__init__.pyi",
        "tavrolix_sandbox/__init__.py",
        "tavrolix_sandbox/py.typed",
        "tavrolix/__init__.py",
        "tavrolix/py.typed",
        "tavrolix/streams.py",
    } <= names
    assert not any("__pycache__" in n for n in names if n.startswith("tavrolix/"))
    assert any(
        n.startswith("tavrolix_open_api.cpython-%d%d-" % sys.version_info[:2]) and n.endswith(".so") for n in names
    )
    assert os.path.basename(wheel).startswith(
        "tavrolix_open_api-0.4.0-cp{0}{1}-cp{0}{1}-".format(*sys.version_info[:2])
    )


def test_quickstart_runs_from_another_directory(venv):
    python, where = venv
    proc = run(python, where, os.path.join(ROOT, "examples", "quickstart.py"))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("logged in on channel ")
    assert any(line.startswith("E-1001 (CASH): ") for line in lines), proc.stdout
    assert any(line.startswith("wrong secret refused: ") for line in lines), proc.stdout


def test_installed_files_load_from_the_environment(venv):
    python, where = venv
    code = (
        "import sys, tavrolix_open_api as tv, tavrolix_sandbox as sbx; sbx.use_scripted(); sbx.use_broker();"
        "print(tv.__file__); print(sbx._loaded_path()); print(sys.prefix)"
    )
    proc = run(python, where, "-c", code)
    assert proc.returncode == 0, proc.stderr
    module, library, prefix = proc.stdout.split()
    site = os.path.dirname(module)
    assert module.startswith(prefix) and library == os.path.join(site, "libTavrolixInterfacePY.so")
    assert filecmp.cmp(
        os.path.join(site, "tavrolix_open_api.pyi"), os.path.join(ROOT, "stubs", "tavrolix_open_api.pyi"), shallow=False
    )
    assert filecmp.cmp(
        os.path.join(site, "tavrolix_open_api-stubs", "__init__.pyi"),
        os.path.join(site, "tavrolix_open_api.pyi"),
        shallow=False,
    )
    assert glob.glob(os.path.join(site, "tavrolix_open_api-0.4.0.dist-info", "RECORD"))


def test_another_build_of_the_library_takes_over_through_the_loader_path(venv, tmp_path):
    python, where = venv
    site = run(python, where, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").stdout.strip()
    other = tmp_path / "other"
    other.mkdir()
    shutil.copy(os.path.join(site, "libTavrolixInterfacePY.so"), str(other))
    code = "import tavrolix_open_api as tv, tavrolix_sandbox as sbx; tv.is_subscribe('k');print(sbx._loaded_path())"
    env = dict(clean_env(), LD_LIBRARY_PATH=str(other))
    proc = subprocess.run([python, "-c", code], cwd=str(where), env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(other / "libTavrolixInterfacePY.so")
