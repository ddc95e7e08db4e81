"""The Python examples of the README and of docs/ run as written."""

import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
PAGES = [README, *sorted((ROOT / "docs").glob("*.md"))] if README.exists() else []
BLOCKS = [
    (page, index, block)
    for page in PAGES
    for index, block in enumerate(re.findall(r"```python\n(.*?)```", page.read_text(), re.S))
]


def test_every_page_the_readme_links_exists():
    if not README.exists():
        pytest.skip("README not beside the tests")
    links = re.findall(r"\]\((docs/[^)#]+)", README.read_text())
    assert links, "the README links the reference pages"
    assert [link for link in links if not (ROOT / link).is_file()] == []


@pytest.mark.skipif(not BLOCKS, reason="README not beside the tests")
@pytest.mark.parametrize(("page", "index", "block"), BLOCKS, ids=[f"{p.name}-{i}" for p, i, _ in BLOCKS])
def test_example(page, index, block, capsys):
    exec(compile(block, f"{page.name} block {index}", "exec"), {})
    if "get_text_representation" in block:
        assert "speed_limit      | 1..0                 | 2..0" in capsys.readouterr().out
    if "handler.start()" in block:
        # The printed trace of the host loop is the one the page shows.
        shown = re.search(r"handler\.delete\(\).*?```\n\nprints\n\n```\n(.*?)```", page.read_text(), re.S)
        assert shown is not None
        assert capsys.readouterr().out == shown.group(1)
