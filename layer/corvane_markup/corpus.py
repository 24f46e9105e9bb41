"""Corpora: one job run over many documents, its results merged.

A job is a function of one path that returns a plain, picklable value. The
results of many documents merge by one rule (merge), which is associative,
so they can be merged in any grouping: in one process, across a process
pool, or across a Dask cluster.
"""

from __future__ import annotations

import functools
import importlib
import os
from collections import Counter
from collections.abc import Callable, Iterable, Iterator

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, TypeVar

    T = TypeVar("T")

PathLike = str | os.PathLike[str]


def merge(a: Any, b: Any) -> Any:
    """Merges two results:

    - None is no result: merge(None, x) is x, and merge(x, None) is x;
    - numbers add (True and False count as 1 and 0);
    - mappings merge key by key, the values of a key present in both merged
      by this same rule; the result is a Counter if either is one, else a dict;
    - lists and tuples concatenate, in order;
    - sets and frozensets unite.

    Anything else, or two kinds that do not go together, is a TypeError.
    """
    if a is None:
        return b
    if b is None:
        return a
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return a + b
    if isinstance(a, dict) and isinstance(b, dict):
        out: dict[Any, Any] = Counter() if isinstance(a, Counter) or isinstance(b, Counter) else {}
        out.update(a)
        for key, value in b.items():
            out[key] = merge(out[key], value) if key in out else value
        return out
    if isinstance(a, list) and isinstance(b, list):
        return a + b
    if isinstance(a, tuple) and isinstance(b, tuple):
        return a + b
    if isinstance(a, (set, frozenset)) and isinstance(b, (set, frozenset)):
        return a | b
    raise TypeError(f"cannot merge {type(a).__name__} with {type(b).__name__}")


def merge_all(results: Iterable[Any]) -> Any:
    """All results merged in order; None when there are none."""
    total = None
    for result in results:
        total = merge(total, result)
    return total


def _noted(job: Callable[[PathLike], T], path: PathLike) -> T:
    try:
        return job(path)
    except Exception as exc:
        exc.add_note(f"while processing {os.fspath(path)}")
        raise


def map_documents(
    job: Callable[[PathLike], T], paths: Iterable[PathLike], *, workers: int | None = None, chunksize: int = 4
) -> Iterator[tuple[PathLike, T]]:
    """(path, result) for each path, in order, computed by `workers`
    processes (by default one per core; 1 runs the job in this process).

    The job must be picklable (a function defined at a module's top level).
    An exception in a job stops the run; it carries a note naming the path.
    """
    paths = list(paths)
    if workers is None:
        workers = os.cpu_count() or 1
    if workers <= 1 or len(paths) <= 1:
        for path in paths:
            yield path, _noted(job, path)
        return
    # Imported here: the process machinery costs a command-line client of
    # the package tens of milliseconds at start-up when it never runs a pool.
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(max_workers=workers) as pool:
        results = pool.map(_noted, [job] * len(paths), paths, chunksize=chunksize)
        yield from zip(paths, results)


def run_corpus(
    job: Callable[[PathLike], Any], paths: Iterable[PathLike], *, workers: int | None = None, chunksize: int = 4
) -> Any:
    """The job's results over all paths, merged (see merge)."""
    return merge_all(result for _, result in map_documents(job, paths, workers=workers, chunksize=chunksize))


def on_dask(job: Callable[[PathLike], Any], paths: Iterable[PathLike], *, npartitions: int | None = None) -> Any:
    """The same run as a lazy Dask computation: a dask.bag over the paths,
    the job mapped over it and the results folded with merge. Call
    .compute() on the result, with a distributed Client active to run it on
    a cluster. Needs dask (and distributed for a cluster)."""
    bags: Any = importlib.import_module("dask.bag")
    paths = [os.fspath(p) for p in paths]
    bag = bags.from_sequence(paths, npartitions=npartitions or min(len(paths), 100) or 1)
    return bag.map(functools.partial(_noted, job)).fold(merge, merge, initial=None)


def element_counts(path: PathLike) -> Counter[str]:
    """A ready job: how many elements of each name a document holds."""
    from .events import events

    return Counter(event.name for event in events(path) if event.kind == "start")
