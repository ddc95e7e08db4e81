"""The type stubs of the extension (kestrel/kestrel.pyi): they parse, name every
public member of the module with a real type, and a typed host that uses them
(typing_host.py and the README examples) runs and passes ``mypy --strict``.
The mypy check runs only where mypy is installed."""

import ast
import importlib.util
import os
import pathlib
import re
import runpy
import shutil
import subprocess
import sys

import pytest

import kestrel
import kestrel.kestrel as ext

PACKAGE = pathlib.Path(kestrel.__file__).resolve().parent
STUB = PACKAGE / "kestrel.pyi"
HOST = pathlib.Path(__file__).resolve().with_name("typing_host.py")
README = pathlib.Path(__file__).resolve().parents[2] / "README.md"

pytestmark = pytest.mark.skipif(not STUB.exists(), reason="package without its stubs")

# Arguments that really take any object.
ANY_OBJECT_ARGUMENTS = {("_log_transition", "name")}
# Annotations that say nothing (or, for containers, not what they hold).
VAGUE = {"object", "Any", "dict", "list", "tuple", "set", "Iterator", "Iterable", "Callable"}


def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(), filename=str(STUB))


def declared_names(body) -> dict:
    names = {}
    for node in body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update({t.id: node for t in node.targets if isinstance(t, ast.Name)})
    return names


def public(names) -> set:
    return {n for n in names if not n.startswith("_")}


def test_stub_names_every_public_member():
    top = declared_names(stub_tree().body)
    assert public(dir(ext)) == public(top)
    for name in sorted(public(top)):
        cls = getattr(ext, name)
        if not isinstance(top[name], ast.ClassDef):
            continue
        members = declared_names(top[name].body)
        assert public(vars(cls)) == public(members), name
        for nested in public(members):
            if isinstance(members[nested], ast.ClassDef):
                assert public(vars(getattr(cls, nested))) == public(declared_names(members[nested].body))


def test_every_argument_and_result_has_a_real_type():
    vague = []
    for node in ast.walk(stub_tree()):
        if not isinstance(node, ast.FunctionDef):
            continue
        args = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
        for i, arg in enumerate(args):
            if i == 0 and arg.arg in ("self", "cls"):
                continue
            text = ast.unparse(arg.annotation) if arg.annotation else "<none>"
            if (text in VAGUE or text == "<none>") and (node.name, arg.arg) not in ANY_OBJECT_ARGUMENTS:
                vague.append(f"{node.name}({arg.arg}: {text})")
        if node.args.vararg or node.args.kwarg:
            vague.append(f"{node.name}(*args/**kwargs)")
        result = ast.unparse(node.returns) if node.returns else "<none>"
        if result in VAGUE or result == "<none>":
            vague.append(f"{node.name} -> {result}")
    assert vague == []


def test_typed_host_runs_as_typed(capsys):
    # Every assert holds and every call the stubs refuse fails at run time too.
    runpy.run_path(str(HOST), run_name="typing_host")


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_typed_host_and_readme_pass_mypy_strict(tmp_path):
    # The package as a checker sees it: stubs, __init__ and marker, no binary.
    package = tmp_path / "kestrel"
    package.mkdir()
    for name in ("kestrel.pyi", "__init__.py", "py.typed"):
        if (PACKAGE / name).exists():
            shutil.copy(PACKAGE / name, package / name)
    files = [str(package / "kestrel.pyi"), str(shutil.copy(HOST, tmp_path / HOST.name))]
    if README.exists():
        for i, block in enumerate(re.findall(r"```python\n(.*?)```", README.read_text(), re.S)):
            path = tmp_path / f"readme_block_{i}.py"
            path.write_text(block)
            files.append(str(path))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / ".mypy_cache"), *files],
        cwd=tmp_path,
        env={**os.environ, "MYPYPATH": str(tmp_path)},
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
