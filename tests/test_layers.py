"""vicatools stays in layers: models < methods < scan < results < front ends, no import circles."""
import ast
import pathlib

import pytest

PKG = pathlib.Path(__file__).resolve().parent.parent / "python" / "vicatools"
RANK = {"models": 0, "methods": 1, "scan": 2, "results": 3}
FRONT = 4  # api, cli, io, plot and the package face


def _layer(module: str) -> int:
    parts = module.split(".")
    return RANK.get(parts[1], FRONT) if len(parts) > 1 else FRONT


def _graph():
    graph = {}
    for path in PKG.rglob("*.py"):
        rel = path.relative_to(PKG.parent).with_suffix("")
        parts = list(rel.parts)
        is_init = parts[-1] == "__init__"
        if is_init:
            parts = parts[:-1]
        name = ".".join(parts)
        base = parts if is_init else parts[:-1]
        targets = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.level:
                anchor = base[: len(base) - node.level + 1]
                target = ".".join(anchor + ([node.module] if node.module else []))
                for alias in node.names:
                    sub = f"{target}.{alias.name}"
                    targets.add(sub if (PKG.parent / sub.replace(".", "/")).with_suffix(".py").exists() else target)
        graph[name] = {t for t in targets if t != name}
    return graph


@pytest.mark.skipif(not PKG.is_dir(), reason="source tree not available")
def test_no_layer_imports_a_higher_one_and_no_circles():
    graph = _graph()
    upward = [(m, t) for m, ts in graph.items() for t in ts
              if t != "vicatools" and _layer(t) > _layer(m) and _layer(m) < FRONT]
    assert upward == []
    # circles among modules (package faces re-export and are left out)
    faces = {m for m in graph if (PKG.parent / m.replace(".", "/") / "__init__.py").exists()}
    edges = {m: {t for t in ts if t in graph and t not in faces} for m, ts in graph.items() if m not in faces}
    seen, stack = {}, []

    def visit(v):
        seen[v] = "open"
        stack.append(v)
        for w in edges.get(v, ()):
            if seen.get(w) == "open":
                raise AssertionError("import circle: " + " -> ".join(stack[stack.index(w):] + [w]))
            if w not in seen:
                visit(w)
        stack.pop()
        seen[v] = "done"

    for v in edges:
        if v not in seen:
            visit(v)
