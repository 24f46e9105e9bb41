"""Side-by-side timing for a noisy, shared machine.

Every comparison runs its cases in the same rounds, one sample of each per
round in a rotating order, so a slow spell of the machine hits all of them
alike. A sample repeats the case's statement often enough to last at least
`min_sample` seconds; the first rounds only warm up; the result per case is
the median of the remaining samples, with their spread.
"""

from __future__ import annotations

import gc
import statistics
import timeit
from dataclasses import dataclass, field
from typing import Any, Callable


@dataclass
class Case:
    """One thing to time: `stmt` evaluated in `env`, `units` of work per run.

    `units` is what the per-unit figure divides by (code points, calls);
    `after` runs untimed after each sample, for example to drop what the
    statement accumulated.
    """

    label: str
    stmt: str
    env: dict[str, Any]
    units: float = 1.0
    after: Callable[[], object] | None = None


@dataclass
class Timing:
    label: str
    seconds: float  # median time of one run of the statement
    spread: float  # median absolute deviation over the median, a fraction
    samples: list[float] = field(default_factory=list)
    units: float = 1.0

    @property
    def per_unit(self) -> float:
        return self.seconds / self.units


@dataclass
class Settings:
    rounds: int = 9
    warmup: int = 2
    min_sample: float = 0.02
    # A case whose single run takes longer than this gets fewer rounds, so a
    # quadratic case cannot hold the suite up for minutes.
    slow_run: float = 1.0
    slow_rounds: int = 3


def _calibrate(timer: timeit.Timer, min_sample: float) -> tuple[int, float]:
    number = 1
    while True:
        took = timer.timeit(number)
        if took >= min_sample or number >= 1 << 30:
            return number, took / number
        # Aim a little past the target so one more try usually suffices.
        number = max(number * 2, int(number * min_sample * 1.2 / max(took, 1e-9)))


def ratio(a: Timing, b: Timing) -> float:
    """a's time over b's: the median of the ratios of samples of the same round.

    Both were timed in the same rounds, so a slow spell of the machine that
    lasts a round or two cancels out here instead of moving one median alone.
    """
    return statistics.median(x / y for x, y in zip(a.samples, b.samples))


def compare(cases: list[Case], settings: Settings) -> dict[str, Timing]:
    timers = [timeit.Timer(case.stmt, globals=case.env) for case in cases]
    numbers = []
    slowest = 0.0
    for case, timer in zip(cases, timers):
        number, once = _calibrate(timer, settings.min_sample)
        if case.after:
            case.after()
        numbers.append(number)
        slowest = max(slowest, once)
    rounds = settings.rounds
    if slowest > settings.slow_run:
        rounds = min(rounds, settings.slow_rounds)
    if slowest > 5 * settings.slow_run:
        rounds = 1
    warmup = settings.warmup if slowest <= settings.slow_run else 0
    samples: list[list[float]] = [[] for _ in cases]
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(warmup + rounds):
            order = list(range(len(cases)))
            shift = r % len(cases)
            order = order[shift:] + order[:shift]
            for i in order:
                took = timers[i].timeit(numbers[i]) / numbers[i]
                if cases[i].after:
                    cases[i].after()
                if r >= warmup:
                    samples[i].append(took)
            gc.collect()
    finally:
        if gc_was_enabled:
            gc.enable()
    result = {}
    for case, got in zip(cases, samples):
        median = statistics.median(got)
        mad = statistics.median(abs(s - median) for s in got)
        result[case.label] = Timing(case.label, median, mad / median if median else 0.0, got, case.units)
    return result
