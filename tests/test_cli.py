"""The corvane tool end to end: naming encodings, bad input, how runs end."""

import json
import re
import subprocess
from pathlib import Path

import pytest

from cli_support import (  # noqa: F401  (fixtures)
    CORVANE,
    ESCAPE,
    SAMPLES,
    corvane,
    environment,
    failed_with,
    interrupt,
    interruptible,
    on_terminal,
    posix_only,
    parsing,
    vexil,
)

README = Path(__file__).resolve().parents[1] / "README.md"


def test_help_lists_every_exit_status_that_readme_lists():
    result = corvane("--help")
    assert result.returncode == 0
    shown = re.findall(r"^  (\d+) ", result.stdout.decode(), re.M)
    section = README.read_text().split("## Command-line tool", 1)[1].split("\n## ", 1)[0]
    documented = re.findall(r"^\| (\d+) \|", section, re.M)
    assert shown == documented
    assert {"0", "1", "2", "3", "130", "141"} <= set(shown)


def test_module_entry_point_is_the_console_script():
    import sys

    via_module = subprocess.run([sys.executable, "-m", "corvane_cli", "--version"], capture_output=True)
    assert via_module.stdout == corvane("--version").stdout
    assert via_module.stdout.startswith(b"corvane ")


@pytest.mark.parametrize(
    "sample, name, how",
    [
        ("menu-utf8.xml", "UTF-8", "declaration"),
        ("menu-utf16.xml", "utf-16", "byte-order mark"),
        ("menu-latin1.xml", "ISO-8859-1", "declaration"),
        # EBCDIC is read through cp037 until the declaration names the code page.
        ("menu-cp037.xml", "IBM037", "declaration"),
        ("menu-shiftjis.xml", "Shift_JIS", "declaration"),
        ("page.html", "utf-8", "meta"),
    ],
)
def test_encoding_of_samples(vexil, sample, name, how):
    result = corvane("encoding", SAMPLES / sample)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == f"{SAMPLES / sample}: {name} ({how})\n"


@pytest.mark.parametrize(
    "content, name, how",
    [
        (b"\xef\xbb\xbf<a/>", "utf-8-sig", "byte-order mark"),
        (b"\xff\xfe\x00\x00<\x00\x00\x00", "utf-32", "byte-order mark"),
        ("<?xml version='1.0'?><a/>".encode("utf-16-be"), "utf-16-be", "byte pattern"),
        (b"<?xml version='1.0'?><a/>", "utf-8", "default"),
        (b"<?xml version='1.0' encoding='utf-8'?><a/>", "utf-8", "declaration"),
        (b"", "utf-8", "default"),
    ],
)
def test_encoding_how_found(vexil, tmp_path, content, name, how):
    path = tmp_path / "doc.xml"
    path.write_bytes(content)
    assert corvane("encoding", path).stdout.decode() == f"{path}: {name} ({how})\n"


# Inputs that no command can read, each with its exit status and words that
# the one line on stderr must hold. "encoding" only reads as far as the
# encoding is named, so it sees the first kinds alone.
BAD_INPUTS = [
    ("missing", None, 3, ["No such file"], True),
    ("directory", "dir", 3, ["Is a directory"], True),
    ("unknown", b'<?xml version="1.0" encoding="x-unheard-of"?><a/>', 1, ["unknown encoding 'x-unheard-of'"], True),
    ("not text", b'<?xml version="1.0" encoding="base64"?><a/>', 1, ["'base64' is not a text encoding"], True),
    ("malformed", b"<?xml version=1.0?><a/>", 1, ["malformed XML declaration: expected quote"], True),
    ("cut short", b'<?xml version="1.0"', 1, ["ends inside its XML declaration"], True),
    ("name not utf-8", b"<?xml version='1.0' encoding='\xe9'?><a/>", 1, ["not UTF-8"], True),
    (
        "wrong utf-16",
        b'<?xml version="1.0" encoding="utf-16"?><a/>',
        1,
        ["declared encoding 'utf-16' does not fit"],
        False,
    ),
    (
        "wrong cp037",
        b'<?xml version="1.0" encoding="cp037"?><a/>',
        1,
        ["declared encoding 'cp037' does not fit"],
        False,
    ),
    (
        "bad utf-8",
        b'<?xml version="1.0" encoding="utf-8"?>\n<a>caf\xe9</a>',
        1,
        ["offset 45", "(e9)", "utf-8"],
        False,
    ),
    ("cut utf-8", "<a>\u20ac</a>".encode()[:-6], 1, ["offset 3", "utf-8"], False),
    ("odd utf-16", "<a>x</a>".encode("utf-16") + b"\x00", 1, ["offset 18", "utf-16"], False),
    # Past the first reads, where the decoder holds bytes between chunks.
    ("late bad utf-8", b"<a>" + "\u00e9".encode() * 50001 + b"\xff", 1, ["offset 100005", "(ff)"], False),
    (
        "late bad utf-16",
        "<a>".encode("utf-16") + "x".encode("utf-16-le") * 40000 + b"\x00\xdc",
        1,
        ["offset 80008", "utf-16"],
        False,
    ),
    (
        "bad shift_jis",
        b'<?xml version="1.0" encoding="shift_jis"?><a>\x81\x20</a>',
        1,
        ["offset 45", "shift_jis"],
        False,
    ),
]


def bad_input(tmp_path, content):
    path = tmp_path / "bad.xml"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    return path


@pytest.mark.parametrize(
    "command, content, status, words",
    [
        pytest.param(command, content, status, words, id=f"{command}-{label}")
        for command in ("events", "encoding")
        for label, content, status, words, early in BAD_INPUTS
        # A directory given to these is a tree of documents to read.
        if (early or command != "encoding") and label != "directory"
    ],
)
def test_bad_input(parsing, tmp_path, command, content, status, words):
    failed_with(corvane(command, bad_input(tmp_path, content)), status, "bad.xml", *words)


@pytest.mark.parametrize("label, content, status, words, early", BAD_INPUTS, ids=[b[0] for b in BAD_INPUTS])
def test_bad_input_leaves_recode_output_alone(parsing, tmp_path, label, content, status, words, early):
    out = tmp_path / "out.xml"
    out.write_bytes(b"kept")
    failed_with(corvane("recode", bad_input(tmp_path, content), "--to", "utf-16", "-o", out), status, *words)
    assert out.read_bytes() == b"kept"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        {"out.xml"} | ({"bad.xml"} if content is not None else set())
    )


def test_long_constructs(parsing, tmp_path):
    # Long, but ended: waited for.
    path = tmp_path / "long.xml"
    path.write_text("<doc><!-- " + "x" * (6 * 1024 * 1024) + " -->after</doc>")
    summary = json.loads(corvane("stats", "--json", path).stdout)
    assert summary["events"] == {"start": 1, "end": 1, "text": 1, "comment": 1}
    # Not ended within bounds: not held on to.
    path.write_text("<doc><!-- " + "x" * (9 * 1024 * 1024))
    failed_with(corvane("events", path), 1, "starts at character 5", "still open")


@pytest.mark.parametrize("command", ["encoding", "stats"])
def test_bad_file_among_good_ones(parsing, tmp_path, command):
    bad = tmp_path / "bad.xml"
    bad.write_bytes(b"<?xml version=1.0?><a/>")
    files = [SAMPLES / "page.html", tmp_path / "absent.xml", bad, SAMPLES / "menu-cp037.xml"]
    result = corvane(command, "--json" if command == "stats" else "--", *files)
    # The worst status of all, and a line for each bad file.
    assert result.returncode == 3
    assert "Traceback" not in result.stderr.decode()
    assert len(result.stderr.decode().splitlines()) == 2
    assert b"absent.xml" in result.stderr and b"expected quote" in result.stderr
    if command == "encoding":
        assert result.stdout.decode().splitlines() == [
            f"{SAMPLES / 'page.html'}: utf-8 (meta)",
            f"{SAMPLES / 'menu-cp037.xml'}: IBM037 (declaration)",
        ]
    else:
        assert [json.loads(line)["file"] for line in result.stdout.splitlines()] == [
            str(SAMPLES / "page.html"),
            str(SAMPLES / "menu-cp037.xml"),
        ]


def big_document(path: Path, items: int = 20000) -> Path:
    with open(path, "w") as out:
        out.write("<?xml version='1.0'?>\n<list>\n")
        for i in range(items):
            out.write(f"<item n='{i}'>entry {i}</item>\n")
        out.write("</list>\n")
    return path


@posix_only
def test_broken_pipe(parsing, tmp_path):
    run = subprocess.Popen(
        [str(CORVANE), "events", big_document(tmp_path / "big.xml")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=environment(),
    )
    assert run.stdout.readline().startswith(b"pi")
    run.stdout.close()
    with run.stderr:
        err = run.stderr.read()
    assert run.wait(timeout=120) == 141
    assert err.decode().splitlines() == ["corvane: the output was closed before the end (broken pipe)"]


@posix_only
def test_interrupted_events(parsing):
    pipe = subprocess.PIPE
    run = interruptible("events", "-", stdin=pipe, stdout=pipe, stderr=pipe)
    # The encoding is named from the first KiB, so events follow only then.
    run.stdin.write(b"<?xml version='1.0'?>\n<doc>" + b"x" * 2000 + b"<p/>")
    run.stdin.flush()
    # The first event shows that the run is under way, reading stdin.
    assert run.stdout.readline().startswith(b"pi")
    status, err = interrupt(run)
    assert status == 130
    assert err.decode().splitlines() == ["corvane: interrupted"]
    run.stdin.close()
    run.stdout.close()


def test_missing_modules_are_named(tmp_path):
    # Stand-ins found before the installed modules, failing as an absent
    # module would.
    for name in ("_vexil", "corvane"):
        (tmp_path / f"{name}.py").write_text(f"raise ImportError('no {name} here')\n")
    env = {"PYTHONPATH": str(tmp_path)}
    failed_with(corvane("events", SAMPLES / "page.html", env=env), 4, "_vexil is not installed")
    demo = corvane("demo", env=env)
    assert demo.returncode == 0
    out = demo.stdout.decode()
    assert out.count("skipped: the native module") == 3
    assert "switchcolor(" in out


def test_demo(parsing):
    result = corvane("demo")
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "skipped" not in out
    for name in (
        "menu-utf8.xml",
        "menu-utf16.xml",
        "menu-latin1.xml",
        "menu-cp037.xml",
        "menu-shiftjis.xml",
        "page.html",
    ):
        assert name in out
    assert "are one and the same text" in out
    assert not ESCAPE.search(result.stdout)


def test_demo_in_colour_on_a_terminal():
    status, seen, _ = on_terminal("demo")
    assert status == 0
    assert ESCAPE.search(seen)
    assert b"bold-on-red" in seen


@pytest.mark.parametrize(
    "command, options, output, shown",
    [
        ("stats", [], "file", True),
        ("events", [], "file", True),
        ("stats", ["--no-progress"], "file", False),
        # A pipe may lead to a pager on the same terminal: no bar to tear it up.
        ("stats", [], "pipe", False),
        ("events", [], "pipe", False),
    ],
)
def test_progress_bar_on_a_terminal(parsing, tmp_path, command, options, output, shown):
    path = tmp_path / "large.xml"
    with open(path, "w") as out:
        out.write("<doc>\n")
        for _ in range(300):
            out.write("<p>" + "text " * 3000 + "</p>\n")
        out.write("</doc>\n")
    written = tmp_path / "out.txt" if output == "file" else None
    status, bar, out = on_terminal(command, *options, path, stream="stderr", stdout=written)
    assert status == 0
    assert (b"MB/s" in bar) == shown
    assert (b"p 300" in (written.read_bytes() if written else out)) == (command == "stats")
