"""corvane events and stats: what the parser reports, as lines."""

import json

import pytest

from cli_support import (  # noqa: F401  (fixtures)
    ESCAPE,
    SAMPLES,
    corvane,
    failed_with,
    json_events,
    on_terminal,
    parsing,
    vexil,
)


def events_of(tmp_path, text, *options, name="doc.xml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return json_events(corvane("events", "--json", *options, path))


def start(name, *attributes):
    return {"event": "start", "name": name, "attributes": [list(a) for a in attributes]}


def end(name):
    return {"event": "end", "name": name}


def text(value):
    return {"event": "text", "text": value}


@pytest.mark.parametrize(
    "document, mode, expected",
    [
        # Values come resolved; an unresolved reference stays as "&name;".
        (
            '<a b="1 &amp; 2" c=\'x&foo;y\' d="&#65;&quot;" e="">t</a>',
            "--xml",
            [start("a", ("b", "1 & 2"), ("c", "x&foo;y"), ("d", 'A"'), ("e", "")), text("t"), end("a")],
        ),
        # XML's white space rules: line ends are line feeds, tabs in values spaces.
        ('<a v="1\t2">x\r\ny</a>', "--xml", [start("a", ("v", "1 2")), text("x\ny"), end("a")]),
        # Lone surrogates, which UTF-8 cannot hold, as JSON escapes.
        ('<a b="&#xD800;">&#xDC00;x</a>', "--xml", [start("a", ("b", "\ud800")), text("\udc00x"), end("a")]),
        # Resolved references join the text around them into one event.
        ("<p>a &amp; b &lt; c&#33;</p>", "--xml", [start("p"), text("a & b < c!"), end("p")]),
        ("<p>caf&eacute;</p>", "--xml", [start("p"), text("caf"), {"event": "entity", "name": "eacute"}, end("p")]),
        (
            "<?pi data?><!-- c --><![CDATA[<x>]]><!DOCTYPE d>.",
            "--xml",
            [
                {"event": "pi", "target": "pi", "data": "data"},
                {"event": "comment", "text": " c "},
                {"event": "cdata", "text": "<x>"},
                {"event": "declaration", "text": "DOCTYPE d"},
                text("."),
            ],
        ),
        # SGML: names folded, a bare attribute takes its name as its value.
        (
            "<P CLASS=x checked>t<BR/>.",
            "--sgml",
            [start("p", ("class", "x"), ("checked", "checked")), text("t"), start("br"), end("br"), text(".")],
        ),
        # An unresolved reference, with or without its ";", by the name the parser reports.
        (
            "<p>&nbsp;&nbsp x</p>",
            "--sgml",
            [
                start("p"),
                {"event": "entity", "name": "nbsp"},
                {"event": "entity", "name": "nbsp"},
                text(" x"),
                end("p"),
            ],
        ),
    ],
)
def test_events(parsing, tmp_path, document, mode, expected):
    assert events_of(tmp_path, document, mode) == expected


@pytest.mark.parametrize(
    "ending, expected, lost",
    [
        # Constructs the parser completes only when a character follows them.
        ("<!-- end -->", {"event": "comment", "text": " end "}, 0),
        ("<![CDATA[end]]>", {"event": "cdata", "text": "end"}, 0),
        ("</r>", end("r"), 0),
        ("&amp;", text("&"), 0),
        # A reference ends at the end of the input, as at a space.
        ("&amp", text("&"), 0),
        # Really unfinished: reported on stderr with its length.
        ("<!-- end", None, 8),
        ("<r a='1", None, 7),
    ],
)
def test_end_of_input(parsing, tmp_path, ending, expected, lost):
    path = tmp_path / "doc.xml"
    path.write_text("<r>x</r>" + ending)
    result = corvane("events", "--json", path)
    lines = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert lines[:3] == [start("r"), text("x"), end("r")]
    assert lines[3:] == ([expected] if expected else [])
    assert result.returncode == 0
    if lost:
        assert result.stderr.decode() == (
            f"corvane: warning: {path}: the input ends inside an unfinished construct"
            f" at character 8; its last {lost} characters were not reported\n"
        )
    else:
        assert result.stderr == b""


@pytest.mark.parametrize(
    "document",
    ["<!-->x", "<![]]>x", "<a>&#1114112;</a>x", '<a b="&#1114112;"/>x', "<a>&#4294967295;</a>x"],
)
def test_constructs_that_make_no_string(parsing, tmp_path, document):
    # An overlapping close gives empty content and an impossible code point
    # is an unresolved reference: the tool goes on past both.
    path = tmp_path / "doc.xml"
    path.write_text(document)
    result = corvane("events", path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    assert result.stdout.endswith(b'text    "x"\n')


def test_sgml_empty_tag_at_the_very_end(parsing, tmp_path):
    assert events_of(tmp_path, "<p>x<br/>", "--sgml") == [start("p"), text("x"), start("br"), end("br")]


def test_large_document_in_chunks(parsing, tmp_path):
    # Far larger than one read, so constructs and text runs straddle the
    # pieces fed to the parser; a long run comes back in pieces of 64 KiB.
    run = "r" * (3 * 65536 + 5)
    parts = ["<?xml version='1.0'?><list>"]
    expected = [{"event": "pi", "target": "xml", "data": "version='1.0'"}, start("list")]
    for i in range(6000):
        parts.append(f"<item n='{i}' note='&amp;{i}'>entry &lt;{i}&gt;<!--{i}--></item>")
        expected += [
            start("item", ("n", str(i)), ("note", f"&{i}")),
            text(f"entry <{i}>"),
            {"event": "comment", "text": str(i)},
            end("item"),
        ]
    parts.append(f"<long>{run}</long></list>")
    expected += [
        start("long"),
        text(run[:65536]),
        text(run[65536:131072]),
        text(run[131072:196608]),
        text(run[196608:]),
        end("long"),
        end("list"),
    ]
    assert events_of(tmp_path, "".join(parts)) == expected


def test_stdin_gives_the_same_events_as_the_file(parsing):
    path = SAMPLES / "menu-utf16.xml"
    from_file = corvane("events", "--json", path)
    from_stdin = corvane("events", "--json", "-", stdin=path.read_bytes())
    assert from_stdin.returncode == 0
    assert from_stdin.stdout == from_file.stdout


def test_plain_lines(parsing, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text('<?xml version="1.0"?>\n<a x="1">t\n<!--c--><b/>&nbsp;</a>')
    result = corvane("events", path)
    assert result.stdout.decode().splitlines() == [
        'pi      xml "version=\\"1.0\\""',
        'text    "\\n"',
        'start   <a x="1">',
        'text    "t\\n"',
        'comment "c"',
        "start   <b>",
        "end     </b>",
        "entity  nbsp",
        "end     </a>",
    ]


def test_controls_never_reach_the_terminal(parsing, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text('<a\x1b b="\x9b\x07">\x1b[31mred\x7f</a\x1b>')
    out = corvane("events", "--color", "never", path).stdout.decode()
    assert out.splitlines() == [
        'start   <a&#27; b="\\u009b\\u0007">',
        'text    "\\u001b[31mred\\u007f"',
        "end     </a&#27;>",
    ]


def test_the_same_document_in_every_encoding(parsing):
    # The menus differ only in encoding, and in the name their declarations give.
    seen = []
    for name in ["menu-utf8.xml", "menu-utf16.xml", "menu-latin1.xml", "menu-cp037.xml"]:
        events = json_events(corvane("events", "--json", SAMPLES / name))
        assert events[0]["event"] == "pi"
        seen.append(events[1:])
    assert all(events == seen[0] for events in seen)
    assert text("Crème brûlée ") in seen[0]


@pytest.mark.parametrize(
    "name, content, options, mode",
    [
        ("page.html", "<p>x", [], "sgml"),
        ("page.htm", "<?xml version='1.0'?><p/>", [], "xml"),
        ("doc.txt", "\n<!DOCTYPE HTML><p>", [], "sgml"),
        ("doc.txt", "<html><p>", [], "sgml"),
        ("doc.txt", "<p>x</p>", [], "xml"),
        ("doc.xml", "<html><p>", [], "xml"),
        ("page.html", "<p>x", ["--xml"], "xml"),
        ("doc.xml", "<?xml version='1.0'?><p/>", ["--sgml"], "sgml"),
    ],
)
def test_mode_from_suffix_and_content(parsing, tmp_path, name, content, options, mode):
    path = tmp_path / name
    path.write_text(content)
    result = corvane("stats", "--json", *options, path)
    assert json.loads(result.stdout)["mode"] == mode


@pytest.mark.parametrize("sample", ["menu-utf8.xml", "menu-shiftjis.xml", "page.html"])
def test_stats_agree_with_events(parsing, sample):
    path = SAMPLES / sample
    summary = json.loads(corvane("stats", "--json", path).stdout)
    events = json_events(corvane("events", "--json", path))
    kinds: dict[str, int] = {}
    elements: dict[str, int] = {}
    for event in events:
        kinds[event["event"]] = kinds.get(event["event"], 0) + 1
        if event["event"] == "start":
            elements[event["name"]] = elements.get(event["name"], 0) + 1
    assert summary["events"] == kinds
    assert summary["elements"] == elements
    assert summary["bytes"] == path.stat().st_size
    assert summary["characters"] == len(path.read_bytes().decode(summary["encoding"]))


def test_stats_text(parsing):
    result = corvane("stats", SAMPLES / "menu-latin1.xml")
    lines = result.stdout.decode().splitlines()
    assert lines[0] == str(SAMPLES / "menu-latin1.xml")
    assert lines[1:5] == [
        "  encoding    ISO-8859-1 (declaration)",
        "  mode        xml",
        "  bytes       440",
        "  characters  440",
    ]
    assert lines[7] == "  events      start 8, end 8, text 14, comment 1, cdata 1, pi 1"
    assert lines[8] == "  elements    item 3, price 3, menu 1, note 1"


def test_forced_encoding(parsing, tmp_path):
    path = tmp_path / "page.html"
    path.write_bytes(b"<p>caf\xe9")
    failed_with(corvane("events", path), 1, "offset 6")
    assert json_events(corvane("events", "--json", "--encoding", "latin-1", path)) == [start("p"), text("café")]
    failed_with(corvane("events", "--encoding", "nope", path), 2, "--encoding: unknown encoding 'nope'")


# (options, environment, on a terminal, coloured)
COLOUR_CASES = [
    ([], {}, True, True),
    ([], {"NO_COLOR": "1"}, True, False),
    ([], {"TERM": "dumb"}, True, False),
    (["--color", "never"], {}, True, False),
    ([], {}, False, False),
    ([], {"FORCE_COLOR": "1"}, False, True),
    ([], {"FORCE_COLOR": "0"}, False, False),
    (["--color", "always"], {}, False, True),
    (["--color", "always"], {"NO_COLOR": "1"}, False, True),
]


@pytest.fixture(scope="module")
def plain_page():
    return corvane("events", "--color", "never", SAMPLES / "page.html").stdout


@pytest.mark.parametrize("options, env, tty, coloured", COLOUR_CASES)
def test_colour(plain_page, options, env, tty, coloured):
    path = SAMPLES / "page.html"
    if tty:
        status, seen, _ = on_terminal("events", *options, path, env=env)
    else:
        result = corvane("events", *options, path, env=env)
        status, seen = result.returncode, result.stdout
    assert status == 0
    assert bool(ESCAPE.search(seen)) == coloured
    # Colour adds switch sequences and nothing else, and every line ends
    # back in the default style.
    assert ESCAPE.sub(b"", seen) == plain_page
    if coloured:
        assert all(ESCAPE.findall(line)[-1] == b"\x1b[0m" for line in seen.splitlines())


def untimed(output):
    if not output.startswith(b'{"file"'):
        return output
    lines = [json.loads(line) for line in output.splitlines()]
    return [{k: v for k, v in summary.items() if k not in ("seconds", "bytes_per_second")} for summary in lines]


@pytest.mark.parametrize("encoding", ["ascii", "latin-1", "utf-8"])
def test_workers_write_as_standard_output_encodes(tmp_path, encoding):
    # Workers encode their output themselves; what standard output cannot
    # hold must still come out escaped as one process writes it, lone
    # surrogates from character references included.
    for i, text in enumerate(["<p>é ☺ &#xD800; x</p>", "<p>ü</p>" * 40000]):
        (tmp_path / f"{i}.xml").write_text(text)
    env = {"PYTHONIOENCODING": encoding}
    for command in (["events"], ["events", "--json"], ["stats", "--json"]):
        runs = [corvane(*command, "--jobs", jobs, tmp_path, env=env) for jobs in ("1", "2")]
        assert runs[0].returncode == runs[1].returncode == 0, runs[1].stderr
        assert untimed(runs[0].stdout) == untimed(runs[1].stdout) != b""


def test_directories_read_with_several_jobs_as_with_one(parsing, tmp_path):
    tree = tmp_path / "tree"
    (tree / "sub").mkdir(parents=True)
    (tree / "a.xml").write_text("<a>one</a>")
    (tree / "notes.txt").write_text("<not>read</not>")
    (tree / "sub" / "b.html").write_text("<p>two<br>")
    (tree / "sub" / "c.xml").write_bytes(b"<?xml version=1.0?><c/>")
    # Output far past what a worker keeps in memory before it spills.
    (tree / "sub" / "d.xml").write_text("<d>" + "<e n='1'>x</e>" * 60000 + "</d>")
    for command in (["stats", "--json"], ["events", "--json"], ["events"]):
        runs = [corvane(*command, "--jobs", jobs, tree) for jobs in ("1", "2")]
        assert runs[0].returncode == runs[1].returncode == 1
        assert untimed(runs[0].stdout) == untimed(runs[1].stdout)
        assert runs[0].stderr == runs[1].stderr
        assert runs[0].stderr.decode().count("\n") == 1 and b"c.xml" in runs[0].stderr
    lines = corvane("stats", "--json", "--jobs", "2", tree).stdout.decode().splitlines()
    stats = [json.loads(line) for line in lines]
    assert [s["file"] for s in stats] == [
        str(tree / "a.xml"),
        str(tree / "sub" / "b.html"),
        str(tree / "sub" / "d.xml"),
    ]
    lines = corvane("events", "--json", "--jobs", "2", tree).stdout.decode().splitlines()
    files = [json.loads(line)["name"] for line in lines if line.startswith('{"event": "file"')]
    assert files == [str(tree / n) for n in ("a.xml", "sub/b.html", "sub/c.xml", "sub/d.xml")]
    assert len(lines) == 4 + 3 + 3 + 0 + 2 + 60000 * 3
