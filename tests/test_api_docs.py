"""docs/api.md against the stub: every function documented with its
parameter list, every parameter given a meaning, the generated part fresh."""

import ast
import os
import re
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import api_doc  # noqa: E402 -- found through the path set just above

STUB_SOURCE = os.path.join(ROOT, "stubs", "tavrolix_open_api.pyi")
DOC_PATH = os.path.join(ROOT, "docs", "api.md")

with open(STUB_SOURCE, encoding="utf-8") as _f:
    FUNCTIONS = {n.name: n for n in ast.parse(_f.read()).body if isinstance(n, ast.FunctionDef)}
with open(DOC_PATH, encoding="utf-8") as _f:
    DOC = _f.read()


def documented():
    """{name: (parameter names, result)} from the function headings of the page."""
    out = {}
    for m in re.finditer(r"^#### `(\w+)\(([^)]*)\) -> (.+)`$", DOC, re.M):
        assert m.group(1) not in out, "%s documented twice" % m.group(1)
        out[m.group(1)] = ([p.strip() for p in m.group(2).split(",") if p.strip()], m.group(3))
    return out


def test_every_function_is_documented_with_its_parameters():
    docs = documented()
    assert sorted(docs) == sorted(FUNCTIONS)
    for name, node in FUNCTIONS.items():
        assert docs[name] == ([a.arg for a in node.args.posonlyargs], ast.unparse(node.returns)), name


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_docstring_gives_each_parameter_a_meaning_and_the_result_and_errors(name):
    node = FUNCTIONS[name]
    summary, sections, meanings = api_doc.parse_docstring(ast.get_docstring(node) or "")
    assert summary, name
    assert [n for n, _ in meanings] == [a.arg for a in node.args.posonlyargs]
    assert all(text.strip() for _, text in meanings)
    assert sections.get("Result") and sections.get("Errors")


def test_generated_part_is_up_to_date():
    assert api_doc.splice(DOC, api_doc.generate(STUB_SOURCE)) == DOC, "run: python scripts/api_doc.py"


def test_docstring_parser_keeps_continuation_lines_with_their_parameter():
    doc = "Sum.\n\nParameters:\n    a: first\n        and more\n    b: second\n\nResult: r\n    r2\n\nErrors: none"
    summary, sections, meanings = api_doc.parse_docstring(doc)
    assert (summary, meanings) == ("Sum.", [("a", "first and more"), ("b", "second")])
    assert sections == {"Parameters": "", "Result": "r r2", "Errors": "none"}


def test_readme_links_the_reference():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        assert "(docs/api.md)" in f.read()


# docs/sandbox.md's table of what the broker takes each order argument to mean, in words.
WORDS = {
    "PIN": "pin",
    "NVDR": "nvdr",
    "new account": "new_account_no",
    "order number": "order_no",
    "counter-party account": "counterparty_account_no",
    "counter-party position": "counterparty_position",
}


def broker_argument_table():
    """{function: {position: parameter name}} from docs/sandbox.md's order argument table."""
    with open(os.path.join(ROOT, "docs", "sandbox.md"), encoding="utf-8") as f:
        rows = [line for line in f.read().splitlines() if re.match(r"\| `(place|cancel|change)_", line)]
    out = {}
    for row in rows:
        cells = [c.strip() for c in row.strip("|").split("|")]
        m = re.fullmatch(r"`(\w+?)(\*_order\(s\))?`( \(2: account\))?", cells[0])
        names = (
            [m.group(1)]
            if not m.group(2)
            else [
                m.group(1) + market + suffix for market in ("derivatives", "equity") for suffix in ("_order", "_orders")
            ]
        )
        for name in names:
            meanings = {pos: cell for pos, cell in enumerate(cells[1:], 3) if cell}
            if m.group(3):
                meanings[2] = "account"
            out[name] = meanings
    return out


def test_order_parameters_are_named_as_the_broker_reads_them():
    table = broker_argument_table()
    assert len(table) == 13
    for name, meanings in table.items():
        params = [a.arg for a in FUNCTIONS[name].args.posonlyargs]
        for pos, words in meanings.items():
            batch = name.endswith("_orders") and words == "order number (list)"
            expected = "order_nos" if batch else WORDS.get(words.replace(" (list)", ""), words.replace(" ", "_"))
            if words == "account":
                expected = "account_no"
            assert params[pos - 1] == expected, (name, pos, words)
        assert len(params) == max(meanings), name
