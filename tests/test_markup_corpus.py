"""corvane_markup's corpora: the merge rule, a job over many documents in a
process pool, and the same job on a Dask cluster."""

from collections import Counter

import pytest

import corvane_markup as cm


@pytest.mark.parametrize(
    "a, b, merged",
    [
        (None, 3, 3),
        (Counter(a=1), None, Counter(a=1)),
        (2, 3.5, 5.5),
        (
            {"n": 1, "names": Counter(a=1)},
            {"n": 2, "names": Counter(a=2, b=1), "new": [1]},
            {"n": 3, "names": Counter(a=3, b=1), "new": [1]},
        ),
        ([1, 2], [3], [1, 2, 3]),
        ((1,), (2,), (1, 2)),
        ({1}, frozenset({2}), {1, 2}),
    ],
)
def test_merge(a, b, merged):
    result = cm.merge(a, b)
    assert result == merged and type(result) is type(merged)


@pytest.mark.parametrize("a, b", [("a", "b"), ([1], (2,)), ({"k": "x"}, {"k": "y"})])
def test_merge_refuses_what_does_not_go_together(a, b):
    with pytest.raises(TypeError):
        cm.merge(a, b)


@pytest.fixture
def corpus(tmp_path):
    paths = []
    for i in range(6):
        path = tmp_path / f"doc{i}.xml"
        path.write_text("<r>" + "<a/>" * i + "<b>x</b>" * (i % 2) + "</r>")
        paths.append(path)
    return paths


def test_a_job_over_many_documents(corpus):
    expected = Counter({"r": 6, "a": 15, "b": 3})
    assert cm.run_corpus(cm.element_counts, corpus, workers=1) == expected
    assert cm.run_corpus(cm.element_counts, corpus, workers=2, chunksize=1) == expected
    pairs = list(cm.map_documents(cm.element_counts, corpus, workers=2))
    assert [path for path, _ in pairs] == corpus
    assert pairs[3][1] == Counter({"r": 1, "a": 3, "b": 1})
    assert cm.run_corpus(cm.element_counts, [], workers=2) is None


def test_a_failing_job_names_its_document(corpus):
    corpus[2].write_bytes(b"<r><!-- open")
    with pytest.raises(cm.UnfinishedError) as caught:
        cm.run_corpus(cm.element_counts, corpus, workers=2)
    assert any(str(corpus[2]) in note for note in caught.value.__notes__)


def test_the_dask_recipe(corpus):
    pytest.importorskip("dask.bag")
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster),
    ):
        total = cm.on_dask(cm.element_counts, corpus, npartitions=3).compute()
    assert total == cm.run_corpus(cm.element_counts, corpus, workers=1)
