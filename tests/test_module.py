"""Start-up, the function table, linking against the library."""

import glob
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest
import tavrolix_open_api as tv
from catalog import BY_NAME, FUNCTIONS

MODULE_PATH = tv.__file__
LIB_PATH = os.path.join(os.path.dirname(MODULE_PATH), "libTavrolixInterfacePY.so")
OPERATIONS = {"TavrolixInterfacePY_%d" % n for n in range(1, 49) if n != 36}

# The full table, in registration order.
TABLE = [name for name, _, _ in FUNCTIONS]


def registered():
    return [k for k in vars(tv) if not k.startswith("__")]


def test_docstring_and_only_functions():
    assert tv.__doc__ == "pybind11 tavrolix_open_api"
    names = registered()
    assert names, "no function registered"
    assert all(callable(getattr(tv, n)) for n in names)
    # Registration follows the table's order.
    assert names == [n for n in TABLE if n in names]
    assert set(names) <= set(TABLE)


def test_each_function_doc_is_its_signature_line():
    for name in registered():
        doc = getattr(tv, name).__doc__
        lines = [line for line in doc.splitlines() if line.strip()]
        assert len(lines) == 1, (name, doc)
        assert re.fullmatch(r"%s\(.*\) -> (dict|str|bool|None)" % name, lines[0]), lines[0]
        params = re.findall(r"arg(\d+): ", lines[0])
        assert params == [str(i) for i in range(len(BY_NAME[name][1]))], lines[0]


def test_all_48_functions_are_registered():
    assert len(TABLE) == len(set(TABLE)) == 48
    assert registered() == TABLE


@pytest.mark.parametrize(
    "name,params",
    [
        ("login", "arg0: str, arg1: str, arg2: str, arg3: str, arg4: bool"),
        ("get_investor_derivatives_account_info", "arg0: dict, arg1: str"),
        ("get_marketrep_equity_account_info", "arg0: dict, arg1: str"),
    ],
)
def test_signatures(name, params):
    assert getattr(tv, name).__doc__.strip() == "%s(%s) -> dict" % (name, params)


def _dynamic_symbols(path, undefined):
    flag = "--undefined-only" if undefined else "--defined-only"
    out = subprocess.run(["nm", "-D", flag, path], check=True, capture_output=True, text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


def test_module_imports_exactly_the_47_operations_from_the_library():
    exported = _dynamic_symbols(LIB_PATH, undefined=False)
    assert exported >= OPERATIONS
    imported = _dynamic_symbols(MODULE_PATH, undefined=True)
    assert imported & exported == OPERATIONS


def test_module_is_linked_against_the_library_by_run_path():
    out = subprocess.run(["readelf", "-d", MODULE_PATH], check=True, capture_output=True, text=True).stdout
    assert "[libTavrolixInterfacePY.so]" in out
    assert "$ORIGIN" in out


def test_import_fails_without_the_library(tmp_path):
    shutil.copy(MODULE_PATH, tmp_path)
    code = "import tavrolix_open_api"
    proc = subprocess.run(
        [sys.executable, "-c", code],
        cwd=str(tmp_path),
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": str(tmp_path), "LD_LIBRARY_PATH": ""},
    )
    assert proc.returncode != 0
    assert "ImportError" in proc.stderr and "libTavrolixInterfacePY.so" in proc.stderr


def test_import_from_another_directory_uses_the_library_beside_it(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-c", "import tavrolix_open_api as t; print(t.login.__name__)"],
        cwd=str(tmp_path),
        capture_output=True,
        text=True,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "login"


COMPILED_FOR = "%d.%d" % sys.version_info[:2]


def _other_python():
    """An interpreter of another minor version than the one running: 3.10, or 3.9 when that is this one."""
    other = "3.9" if COMPILED_FOR == "3.10" else "3.10"
    candidates = [shutil.which("python" + other)]
    root = (
        subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        if shutil.which("pyenv")
        else ""
    )
    candidates += sorted(
        glob.glob(os.path.join(root or "/root/.pyenv", "versions", other + "*", "bin", "python" + other))
    )
    for c in candidates:
        if (
            c
            and subprocess.run(
                [c, "-c", "import sys; sys.exit('%%d.%%d' %% sys.version_info[:2] != '%s')" % other],
                capture_output=True,
            ).returncode
            == 0
        ):
            return c
    return None


def test_other_interpreter_version_is_refused():
    other = _other_python()
    if other is None:
        pytest.skip("no Python 3.9 or 3.10 interpreter on this machine")
    # A build for a later version may use C API functions the other interpreter
    # lacks; bound lazily, they do not stop the loader before the check runs.
    lazy = "import os; sys.setdlopenflags(os.RTLD_LAZY)" if COMPILED_FOR != "3.9" else ""
    code = (
        textwrap.dedent("""
        import importlib.machinery, importlib.util, sys
        %s
        loader = importlib.machinery.ExtensionFileLoader("tavrolix_open_api", sys.argv[1])
        found = importlib.util.spec_from_file_location("tavrolix_open_api", sys.argv[1], loader=loader)
        try:
            importlib.util.module_from_spec(found)
        except ImportError as e:
            print(e)
        else:
            print("imported")
    """)
        % lazy
    )
    proc = subprocess.run([other, "-c", code, MODULE_PATH], capture_output=True, text=True)
    version = subprocess.run(
        [other, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    assert proc.stdout.strip() == (
        "Python version mismatch: module was compiled for Python %s, but the "
        "interpreter version is incompatible: %s." % (COMPILED_FOR, version)
    ), proc.stderr


@pytest.mark.parametrize(
    "call",
    [
        lambda: tv.login("a", "b", "c", "d", enable=True),
        lambda: tv.login("a", "b", "c", "d"),
        lambda: tv.login("a", "b", "c", "d", "yes"),
        lambda: tv.login("a", "b", "c", 4, True),
        lambda: tv.get_investor_derivatives_account_info({"channel_id": "x"}, None),
        lambda: tv.get_investor_derivatives_account_info([], "D-1"),
    ],
)
def test_arguments_that_match_no_signature_raise_type_error(scripted, call):
    before = scripted.call_count(13) + scripted.call_count(14)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call()
    assert scripted.call_count(13) + scripted.call_count(14) == before
