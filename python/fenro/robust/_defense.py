"""The configuration of a :class:`ComposedAggregator`, and its one-line text form.

A :class:`Defense` is a chain of stages (pre-aggregators, then one rule, each with its
parameters) and the round's settings (norm bound, ban, reputation, weighting). Its text form
fits on a command line (quoted) and in a TOML string::

    nnm(f=2) | multi_krum(f=2, m=3); norm_bound=50.0, ban_threshold=0.3

Grammar (spaces and tabs may stand between any two tokens)::

    defense  := chain [ ";" setting { "," setting } ]
    chain    := stage { "|" stage }
    stage    := NAME [ "(" [ NAME "=" value { "," NAME "=" value } ] ")" ]
    setting  := NAME "=" value
    value    := NUMBER | NAME            (none, true, false, inf, relative, absolute, off)
    NAME     := [a-z_][a-z0-9_]*
    NUMBER   := [+-]? ( digits [ "." digits? ] | "." digits ) [ (e|E) [+-]? digits ]

``str(defense)`` is the canonical text: every stage with all its parameters in a fixed order
(those that are None left out, a stage without parameters as its bare name), then the
settings that differ from their defaults, in a fixed order; integers as decimals, reals as
Python's shortest round-trip form (``0.1``, ``1e-06``, ``inf``). ``Defense.parse(str(d)) == d``
for every defense, and a parsed text prints as its canonical form.
"""

from __future__ import annotations

import math
import operator
import re
import struct
from dataclasses import dataclass
from typing import Callable, Dict, Iterator, List, Mapping, Optional, Tuple, Union

Number = Union[int, float]
ParamValue = Optional[Number]
SettingValue = Union[None, bool, float, str]

_U64 = 1 << 64

# The pre-aggregators that keep one row per update, so weights and per-client factors pass
# through them; nnm and bucketing mix updates.
PASS_THROUGH = ("clip", "arc")
# The rules that take weights, and what they become with them.
WEIGHTED_RULES = ("fedavg", "median", "trimmed_mean", "geometric_median")
REPUTATION_MODES = ("relative", "absolute", "off")
# reward_below and penalize_above when the defense leaves them out, per reputation mode: a
# relative threshold multiplies the round's median distance, an absolute one is a distance.
DEFAULT_THRESHOLDS = {"relative": (1.5, 3.0), "absolute": (1.0, 10.0), "off": (1.5, 3.0)}


class DefenseTextError(ValueError):
    """A defense text that does not parse, or names a value out of range.

    The message quotes the text and says at which column what was expected, for example
    ``defense 'krum(f=2' at column 9: expected ',' or ')', found the end of the text``.

    Attributes:
        text: The text that was parsed.
        position: The 0-based offset of the problem in ``text``.
        problem: The message without the quoted text and the column.
    """

    def __init__(self, text: str, position: int, problem: str) -> None:
        super().__init__(f"defense {text!r} at column {position + 1}: {problem}")
        self.text = text
        self.position = position
        self.problem = problem

    def __reduce__(self) -> Tuple[object, Tuple[str, int, str]]:
        return (type(self), (self.text, self.position, self.problem))


class _FieldError(ValueError):
    """A field of a Defense out of range; `where` says which (a setting, "stage<i>", "end"),
    so that the parser can point at it in the text."""

    def __init__(self, where: str, message: str) -> None:
        super().__init__(message)
        self.where = where

    def __reduce__(self) -> Tuple[object, Tuple[str, str]]:
        return (type(self), (self.where, str(self)))


# --- parameters ------------------------------------------------------------------------------

_REQUIRED = object()


@dataclass(frozen=True)
class _Param:
    """One parameter of a stage: its check (None when fine, else what it must be)."""

    name: str
    integer: bool  # an integer parameter (else a real number)
    must_be: str  # the range, for messages: "an integer >= 0"
    accepts: Callable[[Number], bool]
    default: object = _REQUIRED
    optional: bool = False  # None is a value ("none" in the text)


def _count(name: str, minimum: int, default: object = _REQUIRED,
           optional: bool = False) -> _Param:
    must_be = (f"an integer >= {minimum}" if name != "seed"
               else "an integer in 0 ... 2**64 - 1") + (", or none" if optional else "")
    return _Param(name, True, must_be, lambda v: minimum <= v < _U64, default, optional)


def _real(name: str, must_be: str, accepts: Callable[[float], bool],
          default: object = _REQUIRED) -> _Param:
    return _Param(name, False, must_be, lambda v: accepts(float(v)), default)


def _float32(v: float) -> float:
    """v rounded to the nearest float32 (v within the float32 range)."""
    return float(struct.unpack("f", struct.pack("f", v))[0])


def _is_bool(value: object) -> bool:
    """A Python or NumPy bool (told by its type's name, so that NumPy need not be imported):
    refused where a number is expected, although both convert to one."""
    return type(value).__name__ in ("bool", "bool_")


_F = _count("f", 0)
_FINITE_POSITIVE = "a finite number > 0"


def _finite_positive(v: float) -> bool:
    return math.isfinite(v) and v > 0


# name -> (is a rule, parameters in canonical order)
_STAGES: Dict[str, Tuple[bool, Tuple[_Param, ...]]] = {
    "nnm": (False, (_F,)),
    "bucketing": (False, (_count("s", 1), _count("seed", 0))),
    "clip": (False, (_real("c", _FINITE_POSITIVE, _finite_positive),)),
    "arc": (False, (_F,)),
    "fedavg": (True, ()),
    "median": (True, ()),
    # float32(trim) < 0.5: a trim of 0.5 keeps nothing, whatever n.
    "trimmed_mean": (True, (_real("trim", "a number in [0, 0.5) as a float32",
                                  lambda v: 0.0 <= v < 0.5 and _float32(v) < 0.5),)),
    "krum": (True, (_F,)),
    "multi_krum": (True, (_F, _count("m", 1, None, optional=True))),
    "geometric_median": (True, (_real("nu", _FINITE_POSITIVE, _finite_positive, 1e-6),
                                _real("tol", "a finite number >= 0",
                                      lambda v: math.isfinite(v) and v >= 0, 1e-7),
                                _count("max_iter", 0, 100))),
    "centered_clipping": (True, (_real("tau", "a number > 0 (inf allowed)", lambda v: v > 0),
                                 _count("iterations", 1, 1))),
    "bulyan": (True, (_F,)),
    "meamed": (True, (_F,)),
}
PREAGGREGATORS = tuple(name for name, (rule, _) in _STAGES.items() if not rule)
RULES = tuple(name for name, (rule, _) in _STAGES.items() if rule)


def _convert(param: _Param, value: object) -> Tuple[ParamValue, Optional[str]]:
    """A Python value as the parameter's type, or the reason it is refused."""
    if value is None:
        return (None, None) if param.optional else (None, f"must be {param.must_be}")
    if _is_bool(value) or isinstance(value, str):
        return None, f"must be {param.must_be}"
    try:
        number: Number = operator.index(value) if param.integer else float(value)  # type: ignore
    except (TypeError, ValueError):
        return None, f"must be {param.must_be}"
    if not param.accepts(number):
        return None, f"must be {param.must_be}"
    return number, None


def _format(value: SettingValue) -> str:
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return value
    return repr(value)


class Stage:
    """One stage of a defense: a pre-aggregator or the rule, with every parameter's value.

    ``Stage("multi_krum", f=2)`` checks the name and the parameters (defaults filled in) and
    raises ValueError naming what is wrong. Immutable, hashable, compared by value.

    Attributes:
        name: The function of :mod:`fenro.robust` this stage calls.
        parameters: Every parameter's value, in canonical order (None where the function
            takes None, such as multi_krum's m).
    """

    __slots__ = ("_name", "_parameters")
    _name: str
    _parameters: Tuple[Tuple[str, ParamValue], ...]

    def __init__(self, name: str, **parameters: object) -> None:
        definition = _STAGES.get(name)
        if definition is None:
            raise ValueError(f"unknown stage {name!r}; expected one of {', '.join(_STAGES)}")
        values: List[Tuple[str, ParamValue]] = []
        known = {p.name for p in definition[1]}
        for key in parameters:
            if key not in known:
                raise ValueError(_unknown_parameter(name, key))
        for param in definition[1]:
            if param.name not in parameters:
                if param.default is _REQUIRED:
                    raise ValueError(f"{name} needs {param.name}")
                values.append((param.name, param.default))  # type: ignore[arg-type]
                continue
            value, problem = _convert(param, parameters[param.name])
            if problem is not None:
                raise ValueError(f"{param.name} of {name} {problem}, "
                                 f"got {parameters[param.name]!r}")
            values.append((param.name, value))
        object.__setattr__(self, "_name", name)
        object.__setattr__(self, "_parameters", tuple(values))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("Stage is immutable")

    @property
    def name(self) -> str:
        return self._name

    @property
    def parameters(self) -> Dict[str, ParamValue]:
        """A new dict of every parameter's value, in canonical order."""
        return dict(self._parameters)

    @property
    def is_rule(self) -> bool:
        """True for a rule, False for a pre-aggregator."""
        return _STAGES[self._name][0]

    def __getitem__(self, parameter: str) -> ParamValue:
        return dict(self._parameters)[parameter]

    def __str__(self) -> str:
        shown = [f"{k}={_format(v)}" for k, v in self._parameters if v is not None]
        return f"{self._name}({', '.join(shown)})" if shown else self._name

    def __repr__(self) -> str:
        args = "".join(f", {k}={v!r}" for k, v in self._parameters)
        return f"Stage({self._name!r}{args})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Stage):
            return NotImplemented
        return (self._name, self._parameters) == (other._name, other._parameters)

    def __hash__(self) -> int:
        return hash((self._name, self._parameters))

    def __reduce__(self) -> Tuple[object, ...]:
        return (_stage, (self._name, self._parameters))


def _stage(name: str, parameters: Tuple[Tuple[str, ParamValue], ...]) -> Stage:
    return Stage(name, **dict(parameters))


def _unknown_parameter(stage: str, key: str) -> str:
    names = [p.name for p in _STAGES[stage][1]]
    expected = ", ".join(names) if names else "no parameters"
    return f"{stage} has no parameter {key!r}; expected {expected}"


# --- settings --------------------------------------------------------------------------------

@dataclass(frozen=True)
class _Setting:
    must_be: str
    convert: Callable[[object], Tuple[bool, SettingValue]]  # (accepted, value)


def _setting_real(accepts: Callable[[float], bool], optional: bool = False
                  ) -> Callable[[object], Tuple[bool, SettingValue]]:
    def convert(value: object) -> Tuple[bool, SettingValue]:
        if value is None:
            return optional, None
        if _is_bool(value) or isinstance(value, str):
            return False, None
        try:
            number = float(value)  # type: ignore[arg-type]
        except (TypeError, ValueError):
            return False, None
        return accepts(number), number
    return convert


def _setting_choice(choices: Tuple[SettingValue, ...]
                    ) -> Callable[[object], Tuple[bool, SettingValue]]:
    def convert(value: object) -> Tuple[bool, SettingValue]:
        for choice in choices:
            # `is` for True/False so that 1 and 0 are not taken for them
            if value is choice or (isinstance(choice, str) and value == choice):
                return True, choice
        return False, None
    return convert


def _non_negative(v: float) -> bool:
    return math.isfinite(v) and v >= 0


_SETTINGS: Dict[str, _Setting] = {
    "norm_bound": _Setting("a finite number > 0, or none",
                           _setting_real(_finite_positive, optional=True)),
    "ban_threshold": _Setting("a number in [0, 1]", _setting_real(lambda v: 0 <= v <= 1)),
    "reputation": _Setting("relative, absolute or off", _setting_choice(REPUTATION_MODES)),
    "reward_below": _Setting("a finite number >= 0, or none",
                             _setting_real(_non_negative, optional=True)),
    "penalize_above": _Setting("a finite number >= 0, or none",
                               _setting_real(_non_negative, optional=True)),
    "reward": _Setting("a finite number >= 0", _setting_real(_non_negative)),
    "penalty": _Setting("a finite number >= 0", _setting_real(_non_negative)),
    "influence": _Setting("true or false", _setting_choice((True, False))),
}


@dataclass(frozen=True)
class Defense:
    """A composed defense: pre-aggregators, a rule, and the round's settings.

    Build it from text with :meth:`parse`, or directly::

        Defense((Stage("nnm", f=2), Stage("krum", f=2)), norm_bound=50.0)

    and change a copy with ``dataclasses.replace(defense, ban_threshold=0.3)``. Every field
    is checked on construction (ValueError naming the field and its range).

    Attributes:
        stages: Zero or more pre-aggregators (nnm, bucketing, clip, arc), then one rule.
        norm_bound: Updates whose float64 L2 norm exceeds it are rejected (and, with client
            ids, penalised); None for no bound.
        ban_threshold: Clients whose score is below it (in float32) are dropped before their
            update is looked at; 0 bans nobody.
        reputation: "relative" (thresholds times the round's median distance), "absolute"
            (thresholds are distances; with the defaults, the rule of
            :class:`fenro.ByzantineAggregator`), or "off" (scores never change).
        reward_below, penalize_above: A client whose distance to the aggregate is below
            ``reward_below`` (times the median distance, in relative mode) earns ``reward``;
            above ``penalize_above`` it loses ``penalty``. None takes the mode's default:
            1.5 and 3.0 relative, 1.0 and 10.0 absolute.
        reward, penalty: The score changes (added in float32, scores saturate in [0, 1]).
            A rejected update (malformed, or over the norm bound) costs ``penalty`` too.
        influence: Multiply each client's weight by its reputation influence weight
            (min(score**3, 0.8)); needs a rule that takes weights.
    """

    stages: Tuple[Stage, ...]
    norm_bound: Optional[float] = None
    ban_threshold: float = 0.0
    reputation: str = "relative"
    reward_below: Optional[float] = None
    penalize_above: Optional[float] = None
    reward: float = 0.02
    penalty: float = 0.08
    influence: bool = False

    def __post_init__(self) -> None:
        problem = self._check()
        if problem is not None:
            raise _FieldError(*problem)

    def _check(self) -> Optional[Tuple[str, str]]:
        """(where, message) of the first problem, or None (see _FieldError)."""
        stages = tuple(self.stages)
        object.__setattr__(self, "stages", stages)
        if not stages:
            return "end", "a defense needs a rule"
        for i, stage in enumerate(stages):
            if not isinstance(stage, Stage):
                return f"stage{i}", f"stages[{i}] is not a Stage: {stage!r}"
            last = i == len(stages) - 1
            if stage.is_rule and not last:
                return (f"stage{i}", f"{stage.name!r} is a rule and must be the last stage; "
                        f"expected a pre-aggregator ({', '.join(PREAGGREGATORS)})")
            if last and not stage.is_rule:
                return ("end", f"the chain ends with the pre-aggregator {stage.name!r}; "
                        f"expected '|' and a rule ({', '.join(RULES)})")
        for name, setting in _SETTINGS.items():
            accepted, value = setting.convert(getattr(self, name))
            if not accepted:
                return name, f"{name} must be {setting.must_be}, got {getattr(self, name)!r}"
            object.__setattr__(self, name, value)
        low, high = self.thresholds
        if high < low:
            key = "penalize_above" if self.penalize_above is not None else "reward_below"
            return key, (f"penalize_above ({high!r}) must not be below reward_below ({low!r})")
        if self.influence and not self.takes_weights:
            return "influence", ("influence=true needs a rule that takes weights "
                                 f"({', '.join(WEIGHTED_RULES)}) and no nnm or bucketing "
                                 "before it")
        return None

    @property
    def rule(self) -> Stage:
        """The last stage."""
        return self.stages[-1]

    @property
    def preaggregators(self) -> Tuple[Stage, ...]:
        """Every stage but the last."""
        return self.stages[:-1]

    @property
    def takes_weights(self) -> bool:
        """Whether weights reach the rule: a weighted rule behind clip and arc only."""
        return self.rule.name in WEIGHTED_RULES and all(
            s.name in PASS_THROUGH for s in self.preaggregators)

    @property
    def thresholds(self) -> Tuple[float, float]:
        """(reward_below, penalize_above) with the mode's defaults filled in."""
        low, high = DEFAULT_THRESHOLDS.get(self.reputation, (1.5, 3.0))
        return (low if self.reward_below is None else self.reward_below,
                high if self.penalize_above is None else self.penalize_above)

    def __str__(self) -> str:
        chain = " | ".join(str(s) for s in self.stages)
        settings = [f"{name}={_format(getattr(self, name))}" for name in _SETTINGS
                    if getattr(self, name) != _DEFAULTS[name]]
        return chain + ("; " + ", ".join(settings) if settings else "")

    @staticmethod
    def parse(text: str) -> "Defense":
        """The defense a text describes.

        Raises:
            DefenseTextError: The text does not follow the grammar, names an unknown stage,
                parameter or setting, gives one twice, misses a required parameter, or gives
                a value out of range; the message says where and what was expected.
            TypeError: ``text`` is not a str.
        """
        if not isinstance(text, str):
            raise TypeError(f"a defense text must be a str, not {type(text).__name__}")
        return _Parser(text).defense()


_DEFAULTS: Dict[str, SettingValue] = {
    "norm_bound": None, "ban_threshold": 0.0, "reputation": "relative", "reward_below": None,
    "penalize_above": None, "reward": 0.02, "penalty": 0.08, "influence": False,
}


# --- the parser ------------------------------------------------------------------------------

_TOKEN = re.compile(r"""
    (?P<space>[ \t]+)
  | (?P<number>[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)
  | (?P<name>[a-z_][a-z0-9_]*)
  | (?P<punct>[()|,;=])
""", re.VERBOSE)


@dataclass(frozen=True)
class _Token:
    kind: str  # "number", "name", "punct", "end"
    text: str
    position: int

    def describe(self) -> str:
        return "the end of the text" if self.kind == "end" else repr(self.text)


def _tokens(text: str) -> Iterator[_Token]:
    position = 0
    while position < len(text):
        match = _TOKEN.match(text, position)
        if match is None:
            raise DefenseTextError(text, position, f"unexpected character {text[position]!r}")
        kind = match.lastgroup or ""
        if kind != "space":
            yield _Token(kind, match.group(), position)
        position = match.end()
    yield _Token("end", "", len(text))


class _Parser:
    def __init__(self, text: str) -> None:
        self.text = text
        self.tokens = list(_tokens(text))
        self.at = 0

    def peek(self) -> _Token:
        return self.tokens[self.at]

    def take(self) -> _Token:
        token = self.tokens[self.at]
        self.at += 1
        return token

    def fail(self, token: _Token, problem: str) -> DefenseTextError:
        return DefenseTextError(self.text, token.position, problem)

    def expect(self, punct: str, expected: str) -> _Token:
        token = self.take()
        if token.kind != "punct" or token.text != punct:
            raise self.fail(token, f"expected {expected}, found {token.describe()}")
        return token

    def defense(self) -> Defense:
        positions: Dict[str, int] = {}
        stages: List[Stage] = []
        while True:
            positions[f"stage{len(stages)}"] = self.peek().position
            stages.append(self.stage())
            token = self.take()
            if token.kind == "punct" and token.text == "|":
                continue
            if token.kind == "end" or (token.kind == "punct" and token.text == ";"):
                break
            raise self.fail(token, f"expected '|', ';' or the end, found {token.describe()}")
        settings: Dict[str, SettingValue] = {}
        if token.kind != "end":
            while True:
                name = self.take()
                if name.kind != "name":
                    raise self.fail(name, f"expected a setting ({', '.join(_SETTINGS)}), "
                                    f"found {name.describe()}")
                if name.text not in _SETTINGS:
                    raise self.fail(name, f"unknown setting {name.text!r}; expected one of "
                                    f"{', '.join(_SETTINGS)}")
                if name.text in settings:
                    raise self.fail(name, f"setting {name.text!r} given twice")
                self.expect("=", "'='")
                value_token = self.peek()
                raw = self.value()
                accepted, value = _SETTINGS[name.text].convert(raw)
                if not accepted:
                    raise self.fail(value_token, f"{name.text} must be "
                                    f"{_SETTINGS[name.text].must_be}, found "
                                    f"{value_token.describe()}")
                settings[name.text] = value
                positions[name.text] = name.position
                token = self.take()
                if token.kind == "end":
                    break
                if token.kind != "punct" or token.text != ",":
                    raise self.fail(token, f"expected ',' or the end, found {token.describe()}")
        positions["end"] = len(self.text)
        try:
            return Defense(tuple(stages), **settings)  # type: ignore[arg-type]
        except _FieldError as e:
            raise DefenseTextError(self.text, positions[e.where], str(e)) from None

    def value(self) -> object:
        token = self.take()
        if token.kind == "number":
            is_int = re.fullmatch(r"[+-]?\d+", token.text) is not None
            return int(token.text) if is_int else float(token.text)
        if token.kind == "name":
            words: Dict[str, object] = {"none": None, "true": True, "false": False,
                                        "inf": math.inf}
            return words.get(token.text, token.text)
        raise self.fail(token, f"expected a value, found {token.describe()}")

    def stage(self) -> Stage:
        name = self.take()
        if name.kind != "name":
            raise self.fail(name, f"expected a stage ({', '.join(_STAGES)}), "
                            f"found {name.describe()}")
        definition = _STAGES.get(name.text)
        if definition is None:
            raise self.fail(name, f"unknown stage {name.text!r}; expected one of "
                            f"{', '.join(_STAGES)}")
        params = {p.name: p for p in definition[1]}
        given: Dict[str, object] = {}
        close = name
        if self.peek().kind == "punct" and self.peek().text == "(":
            self.take()
            if self.peek().kind == "punct" and self.peek().text == ")":
                close = self.take()
            else:
                while True:
                    key = self.take()
                    if key.kind != "name":
                        raise self.fail(key, f"expected a parameter of {name.text} "
                                        f"({', '.join(params) or 'none'}), "
                                        f"found {key.describe()}")
                    if key.text not in params:
                        raise self.fail(key, _unknown_parameter(name.text, key.text))
                    if key.text in given:
                        raise self.fail(key, f"parameter {key.text!r} given twice")
                    self.expect("=", "'='")
                    value_token = self.peek()
                    raw = self.value()
                    _, problem = _convert(params[key.text], raw)
                    if problem is not None:
                        raise self.fail(value_token, f"{key.text} of {name.text} {problem}, "
                                        f"found {value_token.describe()}")
                    given[key.text] = raw
                    close = self.take()
                    if close.kind == "punct" and close.text == ")":
                        break
                    if close.kind != "punct" or close.text != ",":
                        raise self.fail(close, f"expected ',' or ')', found {close.describe()}")
        for param in definition[1]:
            if param.name not in given and param.default is _REQUIRED:
                raise self.fail(close, f"{name.text} needs {param.name}")
        return Stage(name.text, **given)

