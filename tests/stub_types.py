"""The installed type stub, read with ast, and a check of run-time values
against its annotations (TypedDicts with their exact keys in order, generic
envelopes, aliases, Optional, Union, List, Literal)."""

import ast
import os
from typing import Any, Dict, List, Optional, Tuple

import tavrolix_open_api as tv

STUB_DIR = os.path.dirname(os.path.abspath(tv.__file__))
STUB_PATH = os.path.join(STUB_DIR, "tavrolix_open_api.pyi")
STUB_PACKAGE = os.path.join(STUB_DIR, "tavrolix_open_api-stubs", "__init__.pyi")

# A type variable bound to an annotation, with the bindings it was written under.
Bindings = Dict[str, Tuple[ast.expr, "Bindings"]]


class Stub:
    def __init__(self, path: str = STUB_PATH) -> None:
        with open(path, encoding="utf-8") as f:
            self.tree = ast.parse(f.read(), path)
        self.functions: Dict[str, ast.FunctionDef] = {}
        self.classes: Dict[str, ast.ClassDef] = {}
        self.aliases: Dict[str, ast.expr] = {}
        self.typevars: List[str] = []
        for node in self.tree.body:
            if isinstance(node, ast.FunctionDef):
                self.functions[node.name] = node
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node
            elif isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
                name = node.targets[0].id
                value = node.value
                if isinstance(value, ast.Call) and ast.unparse(value.func) == "TypeVar":
                    self.typevars.append(name)
                else:
                    self.aliases[name] = value

    def fields(self, cls: str) -> List[Tuple[str, ast.expr]]:
        return [
            (n.target.id, n.annotation)
            for n in self.classes[cls].body
            if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
        ]

    def class_params(self, cls: str) -> List[str]:
        for base in self.classes[cls].bases:
            if isinstance(base, ast.Subscript) and ast.unparse(base.value) == "Generic":
                return [ast.unparse(e) for e in _elements(base.slice)]
        return []

    def alias_params(self, alias: str) -> List[str]:
        seen: List[str] = []
        for node in ast.walk(self.aliases[alias]):
            if isinstance(node, ast.Name) and node.id in self.typevars and node.id not in seen:
                seen.append(node.id)
        return seen

    # ------------------------------------------------------------ checking
    def check(self, value: Any, ann: ast.expr, where: str = "result", bound: Optional[Bindings] = None) -> None:
        """Raises AssertionError naming the first place where `value` does not fit."""
        bound = bound or {}
        if isinstance(ann, ast.Constant) and ann.value is None:
            assert value is None, "%s: %r is not None" % (where, value)
            return
        if isinstance(ann, ast.Name):
            self._check_name(value, ann.id, where, bound)
            return
        assert isinstance(ann, ast.Subscript), "%s: unsupported annotation %s" % (where, ast.unparse(ann))
        head = ast.unparse(ann.value)
        args = _elements(ann.slice)
        if head == "Optional":
            if value is not None:
                self.check(value, args[0], where, bound)
        elif head == "Union":
            failures = []
            for member in args:
                try:
                    self.check(value, member, where, bound)
                    return
                except AssertionError as e:
                    failures.append(str(e))
            raise AssertionError("%s fits no member of %s: %s" % (where, ast.unparse(ann), "; ".join(failures)))
        elif head == "List":
            assert type(value) is list, "%s: %r is not a list" % (where, value)
            for i, item in enumerate(value):
                self.check(item, args[0], "%s[%d]" % (where, i), bound)
        elif head == "Literal":
            assert any(type(value) is type(a.value) and value == a.value for a in args), "%s: %r is not %s" % (
                where,
                value,
                ast.unparse(ann),
            )
        elif head in self.classes:
            inner = {p: (a, bound) for p, a in zip(self.class_params(head), args)}
            self._check_typed_dict(value, head, where, inner)
        elif head in self.aliases:
            inner = {p: (a, bound) for p, a in zip(self.alias_params(head), args)}
            self.check(value, self.aliases[head], where, inner)
        else:
            raise AssertionError("%s: unsupported annotation %s" % (where, ast.unparse(ann)))

    def _check_name(self, value: Any, name: str, where: str, bound: Bindings) -> None:
        if name in bound:
            ann, outer = bound[name]
            self.check(value, ann, where, outer)
        elif name in ("str", "int", "float", "bool"):
            assert type(value).__name__ == name, "%s: %r is a %s, not %s" % (where, value, type(value).__name__, name)
        elif name in self.classes:
            self._check_typed_dict(value, name, where, {})
        elif name in self.aliases:
            self.check(value, self.aliases[name], where, {})
        else:
            raise AssertionError("%s: unknown name %s" % (where, name))

    def _check_typed_dict(self, value: Any, cls: str, where: str, bound: Bindings) -> None:
        assert type(value) is dict, "%s: %r is not a dict (%s)" % (where, value, cls)
        fields = self.fields(cls)
        assert list(value) == [k for k, _ in fields], "%s: keys %s, %s has %s" % (
            where,
            list(value),
            cls,
            [k for k, _ in fields],
        )
        for key, ann in fields:
            self.check(value[key], ann, "%s[%r]" % (where, key), bound)


def _elements(node: ast.expr) -> List[ast.expr]:
    return list(node.elts) if isinstance(node, ast.Tuple) else [node]


def split_top_level(text: str) -> List[str]:
    """Splits at commas outside brackets."""
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts
