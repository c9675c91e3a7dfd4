"""The command-line tool's JSON files (rates, standards) read and written in Python.

The files may hold // and /* */ comments; duplicate keys and unknown members are errors, as
for the tool. Every fault raises calyx.InputError naming the file and the member.
"""

from __future__ import annotations

import json
import math
import os
from typing import Any, Dict, List, Union

from ._calyx import BeamRates, InputError, Rates, Standard

PathLike = Union[str, "os.PathLike[str]"]


def _strip_comments(text: str) -> str:
    """The text with // and /* */ comments blanked out (strings left alone)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            out.append(text[i:j + 1])
            i = j + 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            # Newlines are kept so that the parser's line numbers stay right.
            end = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, end))
            i = end
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _read_json(path: PathLike) -> Any:
    name = os.fspath(path)
    try:
        with open(name, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise InputError(f"{name}: cannot open: {e.strerror}") from None

    def no_duplicates(pairs):
        out = {}
        for k, v in pairs:
            if k in out:
                raise InputError(f'{name}: duplicate key "{k}"')
            out[k] = v
        return out

    def no_constant(word):
        raise InputError(f"{name}: not valid JSON: {word} is not a JSON value")

    try:
        return json.loads(_strip_comments(text), object_pairs_hook=no_duplicates, parse_constant=no_constant)
    except json.JSONDecodeError as e:
        raise InputError(f"{name}: not valid JSON: {e}") from None


def _type_name(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int):
        return "an integer"
    if isinstance(value, float):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


class _Node:
    """A value in a file with its path, for messages: "file: beams[0].lines[2].rate: ..."."""

    def __init__(self, value: Any, file: str, path: str = ""):
        self.value, self.file, self.path = value, file, path

    def fail(self, what: str):
        raise InputError(f"{self.file}: {self.path + ': ' if self.path else ''}{what}")

    def object(self, allowed) -> "_Node":
        if not isinstance(self.value, dict):
            self.fail(f"expected an object, found {_type_name(self.value)}")
        for key in self.value:
            if key not in allowed:
                expected = ", ".join(f'"{k}"' for k in allowed)
                self.fail(f'unknown member "{key}" (expected {expected})')
        return self

    def has(self, key: str) -> bool:
        return isinstance(self.value, dict) and key in self.value

    def member(self, key: str) -> "_Node":
        if not self.has(key):
            self.fail(f'missing member "{key}"')
        return _Node(self.value[key], self.file, f"{self.path}.{key}" if self.path else key)

    def items(self) -> List["_Node"]:
        if not isinstance(self.value, list):
            self.fail(f"expected an array, found {_type_name(self.value)}")
        return [_Node(v, self.file, f"{self.path}[{i}]") for i, v in enumerate(self.value)]

    def number(self) -> float:
        v = self.value
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            self.fail(f"expected a number, found {_type_name(v)}")
        if not math.isfinite(float(v)):
            self.fail("the number is not finite")
        return float(v)

    def string(self) -> str:
        if not isinstance(self.value, str):
            self.fail(f"expected a string, found {_type_name(self.value)}")
        return self.value


def _line(entry: _Node) -> str:
    symbol = entry.member("element").string()
    name = entry.member("line")
    if isinstance(name.value, bool) or not isinstance(name.value, (str, int)):
        name.fail(f"expected a line name or code, found {_type_name(name.value)}")
    return f"{symbol} {name.value}"


def _beam(node: _Node) -> BeamRates:
    node.object(("scatterRate", "lines"))
    scatter = None
    if node.has("scatterRate"):
        s = node.member("scatterRate")
        scatter = s.number()
        if scatter < 0:
            s.fail("a scatter rate cannot be negative")
    lines, rates, uncertainties = [], [], []
    if node.has("lines"):
        for entry in node.member("lines").items():
            entry.object(("element", "line", "rate", "uncertainty"))
            label = _line(entry)
            rate = entry.member("rate").number()
            uncertainty = 0.0
            if entry.has("uncertainty"):
                u = entry.member("uncertainty")
                uncertainty = u.number()
                if uncertainty < 0:
                    u.fail("an uncertainty cannot be negative")
            if label in lines:
                entry.fail(f"{label} is listed twice in this beam")
            lines.append(label)
            rates.append(rate)
            uncertainties.append(uncertainty)
    try:
        return BeamRates(lines, rates, scatter=scatter, uncertainties=uncertainties)
    except InputError as e:
        node.fail(str(e))


def _beams(node: _Node) -> List[BeamRates]:
    return [_beam(b) for b in node.member("beams").items()]


def read_rates(path: PathLike) -> Rates:
    """Reads a rates file of the `calyx` tool: {"sample"?, "beams": [{"scatterRate"?, "lines":
    [{"element", "line", "rate", "uncertainty"?}]}]}. Returns a Rates for Engine.quantify."""
    name = os.fspath(path)
    root = _Node(_read_json(name), name).object(("sample", "beams"))
    sample = root.member("sample").string() if root.has("sample") else ""
    beams = _beams(root)
    if not beams:
        root.member("beams").fail("lists no beam")
    return Rates(beams, sample)


def _composition(node: _Node) -> Dict[str, float]:
    if not isinstance(node.value, dict):
        node.fail(f"expected an object, found {_type_name(node.value)}")
    if node.has("composition"):
        return _composition(node.member("composition"))
    return {symbol: node.member(symbol).number() for symbol in node.value}


def read_composition(path: PathLike) -> Dict[str, float]:
    """Reads a composition file: {"Fe": 0.7, ...}, or an object whose "composition" is one."""
    name = os.fspath(path)
    return _composition(_Node(_read_json(name), name))


def read_standards(path: PathLike) -> List[Standard]:
    """Reads a standards file of the `calyx` tool: {"standards": [{"name", "composition", "beams"}]}."""
    name = os.fspath(path)
    root = _Node(_read_json(name), name).object(("standards",))
    entries = root.member("standards").items()
    if not entries:
        root.member("standards").fail("lists no standard")
    out = []
    for entry in entries:
        entry.object(("name", "composition", "beams"))
        standard_name = entry.member("name").string()
        composition = _composition(entry.member("composition"))
        beams = _beams(entry)
        try:
            out.append(Standard(standard_name, composition, Rates(beams)))
        except InputError as e:
            entry.fail(str(e))
    return out


def write_rates(path: PathLike, rates: Rates) -> None:
    """Writes Rates as a rates file that read_rates and `calyx quantify` read."""
    beams = []
    for beam in rates.beams:
        entry: Dict[str, Any] = {}
        if beam.scatter is not None:
            entry["scatterRate"] = beam.scatter
        lines = []
        for label, rate, uncertainty in zip(beam.lines, beam.rates, beam.uncertainties):
            symbol, line = label.split(" ", 1)
            item: Dict[str, Any] = {"element": symbol, "line": int(line) if line.lstrip("-").isdigit() else line,
                                    "rate": float(rate)}
            if uncertainty:
                item["uncertainty"] = float(uncertainty)
            lines.append(item)
        entry["lines"] = lines
        beams.append(entry)
    root: Dict[str, Any] = {"sample": rates.sample} if rates.sample else {}
    root["beams"] = beams
    name = os.fspath(path)
    temporary = f"{name}.tmp{os.getpid()}"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(root, f, indent=2)
        f.write("\n")
    os.replace(temporary, name)
