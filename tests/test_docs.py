"""Every Python snippet of the README and docs/ runs against the sandbox: a
page's snippets in order, as one program in a fresh process (the sandbox
broker's default world, its clock running), so a page reads as one session.
The site itself is built in strict mode by scripts/check.sh."""

import glob
import os
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The snippets are the same on every build; once is enough.
pytestmark = pytest.mark.skipif(bool(os.environ.get("TVX_SANITIZER")), reason="sanitizer run")


# A block preceded by this comment is shown, not run; the reason is required.
NOT_RUN = re.compile(r"<!-- not run: (\S[^>]*) -->\s*$")


def snippets(path, skipped=None):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    out = []
    for m in re.finditer(r"^( *)```python\n(.*?)^ *```", text, re.M | re.S):
        reason = NOT_RUN.search(text[: m.start()].rstrip() + "\n")
        if reason:
            if skipped is not None:
                skipped.append(reason.group(1))
            continue
        out.append(textwrap.dedent(m.group(2)))
    return out


PAGES = [
    os.path.relpath(p, ROOT)
    for p in [os.path.join(ROOT, "README.md")]
    + sorted(glob.glob(os.path.join(ROOT, "docs", "**", "*.md"), recursive=True))
    if snippets(p)
]


def test_the_pages_have_snippets():
    assert "README.md" in PAGES and len(PAGES) >= 5, PAGES


@pytest.mark.parametrize("page", PAGES)
def test_every_snippet_of_the_page_runs(page, tmp_path):
    code = "\n\n".join(snippets(os.path.join(ROOT, page)))
    env = {k: v for k, v in os.environ.items() if not k.startswith("MPL")}
    env["MPLBACKEND"] = "Agg"  # a plot goes to its file, never to a window
    proc = subprocess.run(
        [sys.executable, "-c", code], cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, "%s:\n%s" % (page, proc.stderr[-3000:])
