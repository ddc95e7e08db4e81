"""The README's Python examples run as written."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), re.S) if README.exists() else []


@pytest.mark.skipif(not BLOCKS, reason="README not beside the tests")
@pytest.mark.parametrize("index", range(len(BLOCKS)))
def test_readme_example(index, capsys):
    exec(compile(BLOCKS[index], f"README block {index}", "exec"), {})
    if "get_text_representation" in BLOCKS[index]:
        assert "speed_limit      | 1..0                 | 2..0" in capsys.readouterr().out
    if "handler.start()" in BLOCKS[index]:
        # The printed trace of the host loop is the one the README shows.
        shown = re.search(r"handler\.delete\(\).*?```\n\nprints\n\n```\n(.*?)```", README.read_text(), re.S)
        assert shown is not None
        assert capsys.readouterr().out == shown.group(1)
