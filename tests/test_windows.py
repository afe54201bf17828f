"""Our library cross-built for 64-bit Windows with MinGW-w64: its export
table, and plain Windows programs under Wine that call its operations by
ordinal, one looking them up, one bound through the import library made
from backend/TavrolixInterfacePY.def (as the module's Windows build is)."""

import glob
import os
import re
import shutil
import subprocess
import sys

import pytest
from conftest import WINDOWS_BUILD, built_program

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = WINDOWS_BUILD  # cmake/windows_checks.cmake
TOOLS = {
    "x86_64-w64-mingw32-g++-posix": "g++-mingw-w64-x86-64-posix",
    "x86_64-w64-mingw32-gcc-posix": "gcc-mingw-w64-x86-64-posix",
    "x86_64-w64-mingw32-objdump": "binutils-mingw-w64-x86-64",
    "wine": "wine",
    "cmake": "cmake",
    "ninja": "ninja-build",
}
OPERATIONS = set(range(1, 49)) - {36}
missing = sorted({pkg for tool, pkg in TOOLS.items() if not shutil.which(tool)})
pytestmark = [
    pytest.mark.skipif(bool(os.environ.get("TVX_SANITIZER")), reason="sanitizer run"),
    pytest.mark.skipif(
        bool(missing),
        reason="Windows cross-build tools missing: apt-get install "
        + " ".join(missing)
        + " (scripts/test.sh installs them when run as root)",
    ),
]


def run(*cmd, **kw):
    proc = subprocess.run(list(cmd), capture_output=True, text=True, **kw)
    assert proc.returncode == 0, "%s\n%s\n%s" % (" ".join(cmd), proc.stdout[-3000:], proc.stderr[-3000:])
    return proc.stdout


def mingw(name):
    return os.path.join(BUILD, name)


@pytest.fixture(scope="module")
def dll():
    """Our DLL, with the sub-build brought up to date (once per module)."""
    return built_program("all", "TavrolixInterfacePY.dll", build=WINDOWS_BUILD)


def exports(path):
    """{ordinal: name or None} from the export table that objdump prints."""
    out = run("x86_64-w64-mingw32-objdump", "-p", path)
    base = int(re.search(r"Ordinal Base (\d+)", out).group(1))
    table = out[out.index("Export Address Table -- ") :]
    ordinals = {int(m.group(1)) for m in re.finditer(r"\+base\[\s*(\d+)\]", table)}
    names = {
        int(m.group(1)) + base: m.group(2)
        for m in re.finditer(r"^\s*\[\s*(\d+)\] (\S+)$", table[table.index("[Ordinal/Name Pointer] Table") :], re.M)
    }
    return {o: names.get(o) for o in ordinals}, out


def control_entry_points():
    """The functions our sources mark for export, and those the control package binds."""
    marked = set()
    for src in glob.glob(os.path.join(ROOT, "sandbox", "src", "*.cpp")):
        with open(src) as f:
            marked |= set(re.findall(r"^TVX_EXPORT [^(]*?\b(tvx_\w+)\(", f.read(), re.M))
    bound = set()
    for src in glob.glob(os.path.join(ROOT, "sandbox", "python", "tavrolix_sandbox", "*.py")) + [
        os.path.join(ROOT, "bench", "common.py")
    ]:
        with open(src) as f:
            bound |= set(re.findall(r"[\"'.](tvx_\w+)\b", f.read()))
    return marked, bound


def test_export_table_holds_the_operations_by_ordinal_and_the_control_entry_points_by_name(dll):
    table, dump = exports(dll)
    marked, bound = control_entry_points()
    operations = {o for o in table if o <= 48}
    assert operations == OPERATIONS
    assert all(table[o] is None for o in operations), "operations must be exported without names"
    named = {o: n for o, n in table.items() if o > 48}
    assert all(o > 100 for o in named)
    assert set(named.values()) == marked, "exports beyond the control entry points"
    assert len(table) == len(OPERATIONS) + len(marked)
    assert bound <= marked
    # Nothing but the system's own DLLs to ship: the MinGW runtime is linked in.
    assert sorted(set(re.findall(r"DLL Name: (\S+)", dump)), key=str.lower) == ["KERNEL32.dll", "msvcrt.dll"]


@pytest.fixture(scope="module")
def wine_env(tmp_path_factory):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("LD_", "PYTHON"))}
    env["WINEPREFIX"] = os.path.join(ROOT, "build", "wine-prefix")  # kept: a first start takes a while
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono or Gecko prompts
    return env


def wine(env, exe, *args, cwd=None):
    return subprocess.run(
        ["wine", exe] + list(args),
        capture_output=True,
        text=True,
        env=env,
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        timeout=600,
    )


def test_a_windows_host_calls_the_operations_by_ordinal(dll, wine_env):
    proc = wine(wine_env, mingw("host.exe"), "Z:" + dll.replace("/", "\\"))
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0 and lines[-1:] == ["ALL OK"], proc.stdout + proc.stderr[-2000:]
    assert [l[3:] for l in lines if l.startswith("ok ")] == [
        "operations have no names",
        "ordinal 36 unused",
        "refused login",
        "login",
        "list result",
        "position record",
        "refused order",
        "subscription accepted",
        "order placed",
        "event arrived",
        "event key",
        "event on the library's thread",
        "event names the order",
        "unsubscribe",
        "control entry point by name",
        "internal error",
    ]


def test_a_program_bound_through_the_import_library_imports_by_ordinal(dll, wine_env, tmp_path):
    exe = str(tmp_path / "linked.exe")
    shutil.copy(mingw("linked.exe"), exe)
    dump = run("x86_64-w64-mingw32-objdump", "-p", exe)
    section = dump[dump.index("DLL Name: TavrolixInterfacePY.dll") :].split("\n\n")[0]
    imported = re.findall(r"^\s*([0-9a-f]{16})\s", section, re.M)
    # By ordinal: the high bit set and the ordinal in the low bits, no name.
    assert sorted(int(v, 16) for v in imported) == [(1 << 63) | 13, (1 << 63) | 17]
    assert "TavrolixInterfacePY_" not in section
    shutil.copy(dll, str(tmp_path))  # found beside the program, as beside the module
    proc = wine(wine_env, exe, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr[-2000:]
    assert proc.stdout.strip() == "login 1 channel sbx-inv002-1 list 1 count 1 symbol ARVOH26"


@pytest.mark.skipif(sys.version_info[:2] != (3, 9), reason="checked once, with CPython 3.9's headers")
def test_the_module_compiles_and_links_for_windows_importing_by_ordinal(dll):
    """No Windows CPython here: the module is compiled with CPython's own headers
    under a configuration corrected for 64-bit Windows, and linked against the
    ordinal import library and an import library of the C API it uses
    (cmake/windows_checks.cmake). What it imports from our library, and what
    it exports, are read back here."""
    pyd = mingw("tavrolix_open_api.pyd")
    with open(mingw("python.def")) as f:
        python_dll = f.readline().split()[1]
        api = f.read().split()[1:]
    assert python_dll == "python%d%d.dll" % sys.version_info[:2]
    assert "PyModule_Create2" in api or "PyModuleDef_Init" in api
    dump = run("x86_64-w64-mingw32-objdump", "-p", pyd)
    section = dump[dump.index("DLL Name: TavrolixInterfacePY.dll") :].split("\n\n")[0]
    imported = [int(v, 16) for v in re.findall(r"^\s*([0-9a-f]{16})\s", section, re.M)]
    assert sorted(imported) == [(1 << 63) | n for n in sorted(OPERATIONS)]
    table, _ = exports(pyd)
    assert list(table.values()) == ["PyInit_tavrolix_open_api"]
    dlls = sorted(set(re.findall(r"DLL Name: (\S+)", dump)), key=str.lower)
    assert dlls == sorted(["KERNEL32.dll", "msvcrt.dll", python_dll, "TavrolixInterfacePY.dll"], key=str.lower)
