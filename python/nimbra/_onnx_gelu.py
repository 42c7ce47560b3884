"""Recognising the element-wise subgraphs exporters write for GELU.

Exporters that predate the ``Gelu`` operator spell it out with ``Div`` /
``Mul`` / ``Add`` / ``Pow`` / ``Erf`` / ``Tanh`` nodes, in many orders and
groupings (``x * 0.5 * (1 + erf(x / sqrt 2))``, ``0.5 * x * (...)``,
``x ** 3`` or ``x * x * x``, the constant of the tanh form folded in or
not). Rather than list the spellings, a candidate subgraph is expanded into
a sum of monomials in ``x``, ``erf(...)`` and ``tanh(...)`` (each with its
own expanded argument) and compared with the two forms of GELU, constants
within a relative 1e-5. Any arrangement of the same arithmetic matches; a
different function does not.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from typing import Union

from ._onnx_proto import Node

# A monomial: its coefficient and its factors, each "x" or (function, argument).
Atom = Union[str, tuple[str, "Poly"]]
Monomial = tuple[float, tuple[Atom, ...]]
Poly = list[Monomial]

MATH_OPS = frozenset({"Add", "Sub", "Mul", "Div", "Pow", "Neg", "Sqrt", "Erf", "Tanh"})

# Far beyond any GELU (which has two terms of at most three factors, and
# about ten nodes), and small enough that a hostile file cannot make the
# expansion grow without bound.
_MAX_TERMS, _MAX_FACTORS, _MAX_NODES = 8, 6, 40

_X: Poly = [(1.0, ("x",))]


def _close(a: float, b: float) -> bool:
    return math.isclose(a, b, rel_tol=1e-5, abs_tol=1e-12)


def _atom_key(atom: Atom) -> str:
    return atom if isinstance(atom, str) else atom[0]


def _atoms_equal(a: tuple[Atom, ...], b: tuple[Atom, ...]) -> bool:
    if len(a) != len(b):
        return False
    for p, q in zip(a, b):
        if isinstance(p, str) or isinstance(q, str):
            if p != q:
                return False
        elif p[0] != q[0] or not poly_equal(p[1], q[1]):
            return False
    return True


def _normal(terms: Sequence[Monomial]) -> Poly:
    """Factors sorted, like terms merged, zero terms dropped."""
    out: Poly = []
    for coef, atoms in terms:
        atoms = tuple(sorted(atoms, key=_atom_key))
        for i, (c, a) in enumerate(out):
            if _atoms_equal(a, atoms):
                out[i] = (c + coef, a)
                break
        else:
            out.append((coef, atoms))
    return [(c, a) for c, a in out if c != 0.0]


def poly_equal(p: Poly, q: Poly) -> bool:
    if len(p) != len(q):
        return False
    unused = list(q)
    for coef, atoms in p:
        for i, (c, a) in enumerate(unused):
            if _close(coef, c) and _atoms_equal(atoms, a):
                del unused[i]
                break
        else:
            return False
    return True


def _add(p: Poly, q: Poly) -> Poly:
    return _normal(p + q)


def _mul(p: Poly, q: Poly) -> Poly:
    if len(p) * len(q) > _MAX_TERMS or any(len(a) + len(b) > _MAX_FACTORS for _, a in p for _, b in q):
        return [(math.nan, ("too large",))]  # matches nothing
    return _normal([(c * d, a + b) for c, a in p for d, b in q])


def _const(p: Poly) -> float | None:
    if not p:
        return 0.0
    if len(p) == 1 and not p[0][1]:
        return p[0][0]
    return None


def _apply(op: str, args: list[Poly]) -> Poly | None:
    """The node's value from its operands' values; None where this is not
    arithmetic a GELU is made of."""
    if op == "Add" and len(args) == 2:
        return _add(args[0], args[1])
    if op == "Sub" and len(args) == 2:
        return _add(args[0], _mul([(-1.0, ())], args[1]))
    if op == "Mul" and len(args) == 2:
        return _mul(args[0], args[1])
    if op == "Neg" and len(args) == 1:
        return _mul([(-1.0, ())], args[0])
    if op == "Div" and len(args) == 2:
        c = _const(args[1])
        return _mul(args[0], [(1.0 / c, ())]) if c else None
    if op == "Pow" and len(args) == 2:
        e = _const(args[1])
        if e is None or not float(e).is_integer() or not 1 <= e <= 4:
            return None
        out = args[0]
        for _ in range(int(e) - 1):
            out = _mul(out, args[0])
        return out
    if op == "Sqrt" and len(args) == 1:
        c = _const(args[0])
        return [(math.sqrt(c), ())] if c is not None and c >= 0 else None
    if op in ("Erf", "Tanh") and len(args) == 1:
        return _function(op.lower(), args[0])
    return None


def _function(name: str, argument: Poly) -> Poly:
    return [(1.0, ((name, argument),))]


def _forms() -> dict[str, Poly]:
    half_x = _mul([(0.5, ())], _X)
    erf = _function("erf", _mul([(1.0 / math.sqrt(2.0), ())], _X))
    inner = _add(_X, _mul([(0.044715, ())], _mul(_X, _mul(_X, _X))))
    tanh = _function("tanh", _mul([(math.sqrt(2.0 / math.pi), ())], inner))
    return {
        "none": _mul(half_x, _add([(1.0, ())], erf)),
        "tanh": _mul(half_x, _add([(1.0, ())], tanh)),
    }


FORMS = _forms()


def match(
    nodes: Sequence[Node],
    first: int,
    source: str,
    scalar: Callable[[str], float | None],
    consumers: Mapping[str, Sequence[int]],
    outputs: frozenset[str],
) -> tuple[str, str, list[int]] | None:
    """The GELU that begins at nodes[first] and reads `source`.

    Walks the element-wise nodes from `first` on while each reads only
    `source`, values computed inside the walk, and scalar constants
    (`scalar(name)` gives a constant's value, or None). Whenever nothing
    computed inside the walk but its newest value is still needed outside
    it, that value is compared with the GELU forms. Returns the form
    ("none" or "tanh"), the value that holds the result, and the positions
    of the walk's nodes (Constant nodes included); None when no prefix of
    the walk is a GELU.
    """
    values: dict[str, Poly] = {source: _X}
    taken: list[int] = []
    for n in nodes[first:]:
        if n.op_type == "Constant" and n.domain in ("", "ai.onnx"):
            taken.append(n.position)
            continue
        if n.domain not in ("", "ai.onnx") or n.op_type not in MATH_OPS or len(n.outputs) != 1:
            return None
        args: list[Poly] = []
        for name in n.inputs:
            if name in values:
                args.append(values[name])
                continue
            c = scalar(name)
            if c is None:
                return None
            args.append([(c, ())] if c != 0.0 else [])
        result = _apply(n.op_type, args)
        if result is None or len(taken) >= _MAX_NODES:
            return None
        values[n.outputs[0]] = result
        taken.append(n.position)
        inside = set(taken)
        closed = all(
            all(p in inside for p in consumers.get(name, ())) and name not in outputs
            for name in values
            if name != n.outputs[0]
        )
        if closed:
            for form, poly in FORMS.items():
                if poly_equal(result, poly):
                    return form, n.outputs[0], taken
    return None
