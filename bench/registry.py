"""What a goal is, what every goal group is handed, and the list of groups.

A goal group is a function that measures one numbered goal (or a few
lettered parts of it) and returns its Goal results. It joins the suite with
the `group` decorator; `run.py` imports the modules that hold groups (its
GOAL_MODULES) and runs them in the order of their keys:

    @registry.group("7", "What the group measures")
    def my_goals(ctx: registry.Context) -> list[registry.Goal]:
        ...

A goal whose module or peer is not installed says so and is skipped; the
rest of the suite runs on.
"""

from __future__ import annotations

import importlib
from dataclasses import dataclass, field
from types import ModuleType
from typing import Callable

import documents
from harness import Settings


@dataclass
class Goal:
    key: str
    title: str
    target: float
    at_least: bool  # the ratio must be at least the target (else at most)
    measured: float | None = None
    absent: str = ""  # why it could not be measured
    columns: list[str] = field(default_factory=list)
    rows: list[list[str]] = field(default_factory=list)
    bars: list[tuple[str, float]] = field(default_factory=list)  # for the chart
    notes: list[str] = field(default_factory=list)

    @property
    def met(self) -> bool | None:
        if self.measured is None:
            return None
        if self.at_least:
            return self.measured >= self.target
        return self.measured <= self.target

    @property
    def target_text(self) -> str:
        return ("at least " if self.at_least else "at most ") + f"{self.target:g}x"

    @property
    def verdict(self) -> str:
        if self.measured is None:
            return "not measured: " + self.absent
        return f"{self.measured:.2f}x, target {self.target_text}: " + ("met" if self.met else "missed")


def _optional(name: str) -> ModuleType | None:
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


@dataclass
class Modules:
    corvane: ModuleType | None
    vexil: ModuleType | None
    lumet: ModuleType | None
    lxml_etree: ModuleType | None
    pugi: ModuleType | None  # pugixml's module of the parser's classes
    rapidxml: ModuleType | None
    noop: ModuleType | None
    noop_error: str = ""

    @staticmethod
    def load(noop_loader: Callable[[], ModuleType]) -> "Modules":
        try:
            noop, error = noop_loader(), ""
        except (OSError, RuntimeError) as e:
            noop, error = None, str(e).splitlines()[0]
        pugixml = _optional("pugixml.pugi")
        return Modules(
            _optional("corvane"),
            _optional("_vexil"),
            _optional("_lumet"),
            _optional("lxml.etree"),
            pugixml,
            _optional("rapidxml"),
            noop,
            error,
        )


@dataclass
class Sizes:
    """Code points per generated document, for each kind of run."""

    document: int  # the generated documents of the corpus
    pathological: int  # one long unfinished construct fed in pieces
    large: int  # a whole parse against the same text in pieces


def amount(n: int) -> str:
    """A number of code points in words: "8 Mi", "64 Ki"."""
    if n >= 1 << 20:
        return f"{n / (1 << 20):g} Mi"
    return f"{n / (1 << 10):g} Ki"


FULL = Sizes(document=1 << 20, pathological=8 << 20, large=32 << 20)
QUICK = Sizes(document=1 << 14, pathological=1 << 16, large=1 << 20)


@dataclass
class Context:
    corpus: documents.Corpus
    mods: Modules
    settings: Settings
    sizes: Sizes


@dataclass
class Group:
    key: str
    title: str
    measure: Callable[[Context], list[Goal]]


GROUPS: dict[str, Group] = {}


def group(key: str, title: str) -> Callable[[Callable[[Context], list[Goal]]], Callable[[Context], list[Goal]]]:
    def add(measure: Callable[[Context], list[Goal]]) -> Callable[[Context], list[Goal]]:
        if key in GROUPS:
            raise ValueError(f"goal {key} is registered twice")
        GROUPS[key] = Group(key, title, measure)
        return measure

    return add


def absent_corvane(goal: Goal, mods: Modules) -> bool:
    if mods.corvane is None:
        goal.absent = "the corvane module is not installed"
        return True
    return False
