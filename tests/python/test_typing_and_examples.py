"""The shipped stubs match the module, the examples type-check, and every example runs."""

import ast
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import velm_qor

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def run(*args, **kwargs):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300, **kwargs)


def test_stubtest_finds_no_mismatch(tmp_path):
    out = run("-m", "mypy.stubtest", "velm_qor", cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_every_stub_class_method_and_property_has_a_docstring():
    tree = ast.parse((ROOT / "python" / "velm_qor-stubs" / "__init__.pyi").read_text())
    undocumented = [
        node.name
        for node in ast.walk(tree)
        if isinstance(node, (ast.ClassDef, ast.FunctionDef))
        and not any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)
        and ast.get_docstring(node) is None
    ]
    assert ast.get_docstring(tree) and not undocumented, undocumented


def test_examples_type_check(tmp_path):
    out = run("-m", "mypy", "--strict", "--cache-dir", str(tmp_path), *map(str, EXAMPLES), cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_a_type_error_in_user_code_is_caught(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text("import velm_qor\nvelm_qor.QOREngine(5)\nr: int = velm_qor.PPPTriplet('a','b','c').place\n")
    out = run("-m", "mypy", "--cache-dir", str(tmp_path / "cache"), str(bad), cwd=tmp_path)
    assert out.returncode == 1
    assert "bad.py:2" in out.stdout and "bad.py:3" in out.stdout


def test_signatures_are_introspectable():
    assert str(inspect.signature(velm_qor.QOREngine)) == "(wal_path)"
    assert str(inspect.signature(velm_qor.PPPTriplet)) == "(provenance, place, purpose)"
    assert str(inspect.signature(velm_qor.HumanDeltaChain)) == (
        "(agent_decision_ref, resolved, terminal_node, chain_id=None)"
    )
    assert str(inspect.signature(velm_qor.QOREngine.capture)) == (
        "(self, /, ctx, prompt, reasoning_trace, output, ppp_triplet, human_delta_chain, auto_insight=True)"
    )
    assert str(inspect.signature(velm_qor.QOREngine(":memory:").public_key_hex)) == "()"
    text = subprocess.run(
        [sys.executable, "-c", "import velm_qor; help(velm_qor.QOREngine)"], capture_output=True, text=True, timeout=60
    ).stdout
    assert "QOREngine(wal_path)" in text and "Captures execution contexts" in text


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_example_runs(example, tmp_path):
    out = run(str(example), cwd=tmp_path, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert out.returncode == 0, out.stdout + out.stderr
    assert out.stdout.strip()
