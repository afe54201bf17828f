"""The order book and the ledger alone, as C++ programs (tests/cpp), built
with the undefined-behaviour sanitizer (and the address sanitizer in the
sanitizer pass of the suite)."""

import os
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(os.path.dirname(HERE), "sandbox", "src")


@pytest.mark.parametrize(
    "name, sources",
    [
        ("test_book", ["book.cpp"]),
        ("test_ledger", ["ledger.cpp", "book.cpp"]),
    ],
)
def test_component(tmp_path, name, sources):
    exe = tmp_path / name
    sanitize = "address,undefined" if os.environ.get("TVX_SANITIZER") == "asan" else "undefined"
    subprocess.run(
        [
            "g++",
            "-std=c++20",
            "-O1",
            "-g",
            "-Wall",
            "-Wextra",
            "-Werror",
            "-fsanitize=" + sanitize,
            "-fno-sanitize-recover=all",
            "-o",
            str(exe),
            os.path.join(HERE, "cpp", name + ".cpp"),
        ]
        + [os.path.join(SRC, s) for s in sources],
        check=True,
    )
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
