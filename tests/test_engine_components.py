"""The order book, the ledger, the order store, the exchange, the calendar and
market data alone, as C++ programs (tests/cpp), built with the
undefined-behaviour sanitizer (and the address sanitizer in the sanitizer pass
of the suite) by cmake/test_programs.cmake."""

import subprocess

import pytest
from conftest import built_program


@pytest.mark.parametrize(
    "name", ["test_book", "test_ledger", "test_order_store", "test_exchange", "test_calendar", "test_market_data"]
)
def test_component(name):
    run = subprocess.run([built_program(name)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
