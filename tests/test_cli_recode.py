"""corvane recode: transcoding, the rewritten declaration, and safe output."""

import os
import stat
import subprocess
import time

import pytest

from cli_support import (  # noqa: F401  (fixtures)
    SAMPLES,
    corvane,
    failed_with,
    interrupt,
    interruptible,
    json_events,
    parsing,
    posix_only,
    vexil,
)

MENU = SAMPLES / "menu-utf8.xml"  # declares "UTF-8"


def recode(source, to, out, *options):
    result = corvane("recode", source, "--to", to, "-o", out, *options)
    assert result.returncode == 0, result.stderr.decode()
    return result


@pytest.mark.parametrize(
    "via, named",
    [
        ("utf-16", "utf-16"),
        ("utf-16-le", "utf-16-le"),
        ("utf-16-be", "utf-16-be"),
        ("utf-32", "utf-32"),
        ("latin-1", "latin-1"),
        ("cp037", "cp037"),
        ("utf-8-sig", "utf-8-sig"),
        ("cp1252", "cp1252"),
    ],
)
def test_round_trip(vexil, tmp_path, via, named):
    middle = tmp_path / "middle.xml"
    back = tmp_path / "back.xml"
    recode(MENU, via, middle)
    found = corvane("encoding", middle).stdout.decode()
    assert found.split(": ", 1)[1].startswith(named + " ")
    text = middle.read_bytes().decode(via)
    assert text == MENU.read_text(encoding="utf-8").replace(
        '"UTF-8"', '"utf-8"' if via == "utf-8-sig" else f'"{via}"'
    )
    recode(middle, "UTF-8", back)
    assert back.read_bytes() == MENU.read_bytes()


def test_through_several_encodings(vexil, tmp_path):
    source = SAMPLES / "menu-shiftjis.xml"
    current = source
    for i, to in enumerate(["utf-16", "utf-8", "euc_jp", "utf-32-be", "Shift_JIS"]):
        following = tmp_path / f"step{i}.xml"
        recode(current, to, following)
        current = following
    assert current.read_bytes() == source.read_bytes()


def test_unencodable_character(vexil, tmp_path):
    out = tmp_path / "out.xml"
    out.write_bytes(b"kept")
    result = corvane("recode", SAMPLES / "menu-shiftjis.xml", "--to", "latin-1", "-o", out)
    failed_with(result, 1, "U+540C", "line 2, column 6 (character 48)", "latin-1", "--xmlcharrefs")
    assert out.read_bytes() == b"kept"
    assert os.listdir(tmp_path) == ["out.xml"]


@pytest.mark.parametrize(
    "document, to",
    [
        # After the rewritten value, so the new name's length shifts it in
        # the output but not in the input.
        ('<?xml version="1.0" encoding="utf-8"?><a>\u00e9</a>', "us-ascii"),
        ('<?xml version="1.0" encoding="utf-8"?><a>\u00e9</a>', "ascii"),
        ('<?xml version="1.0" encoding="utf-8"?>\n<a>\nx\u20ac</a>', "latin-1"),
        ("<a>\u00e9</a>", "ascii"),
        ("\n\n" + "x" * 70000 + "\u20ac", "latin-1"),
    ],
)
def test_unencodable_position(vexil, tmp_path, document, to):
    path = tmp_path / "doc.xml"
    path.write_text(document, encoding="utf-8")
    index = max(i for i, ch in enumerate(document) if ord(ch) > 127)
    line = document.count("\n", 0, index) + 1
    column = index - (document.rfind("\n", 0, index) + 1) + 1
    result = corvane("recode", path, "--to", to, "-o", tmp_path / "out.xml")
    failed_with(result, 1, f"line {line}, column {column} (character {index})")


def test_xmlcharrefs(parsing, tmp_path):
    source = SAMPLES / "menu-shiftjis.xml"
    out = tmp_path / "out.xml"
    recode(source, "latin-1", out, "--xmlcharrefs")
    assert out.read_bytes().isascii()
    assert b"&#25273;&#33590;" in out.read_bytes()

    # The references stand for the same characters wherever they are read
    # as such: in text and attribute values.
    def content(path):
        return [e for e in json_events(corvane("events", "--json", path)) if e["event"] in ("text", "start")]

    assert content(out) == content(source)


def test_refuses_to_overwrite_its_input(vexil, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(MENU.read_bytes())
    (tmp_path / "link.xml").symlink_to(path)
    for target in (path, tmp_path / "link.xml"):
        failed_with(corvane("recode", path, "--to", "utf-16", "-o", target), 3, "--in-place")
    assert path.read_bytes() == MENU.read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["doc.xml", "link.xml"]


def test_in_place(vexil, tmp_path):
    path = tmp_path / "doc.xml"
    path.write_bytes(MENU.read_bytes())
    path.chmod(0o640)
    result = corvane("recode", path, "--to", "utf-16", "--in-place")
    assert result.returncode == 0, result.stderr
    assert path.read_bytes().decode("utf-16") == MENU.read_text("utf-8").replace("UTF-8", "utf-16")
    assert stat.S_IMODE(path.stat().st_mode) == 0o640
    assert os.listdir(tmp_path) == ["doc.xml"]


@pytest.mark.parametrize(
    "options, status, words",
    [
        (["--to", "x-unheard-of", "-o", "out.xml"], 2, ["--to: unknown encoding 'x-unheard-of'"]),
        (["--to", "rot13", "-o", "out.xml"], 2, ["'rot13' is not a text encoding"]),
        (["--to", "utf-16", "--in-place", "-o", "out.xml"], 2, ["exclude each other"]),
        (["--to", "utf-16", "-o", "absent/out.xml"], 3, ["absent/out.xml", "No such file"]),
    ],
)
def test_refused_options(vexil, tmp_path, options, status, words):
    failed_with(corvane("recode", MENU, *options, cwd=tmp_path), status, *words)
    assert os.listdir(tmp_path) == []


def test_to_standard_output(vexil, tmp_path):
    out = tmp_path / "out.xml"
    recode(MENU, "cp037", out)
    piped = corvane("recode", MENU, "--to", "cp037")
    assert piped.returncode == 0
    assert piped.stdout == out.read_bytes()
    from_stdin = corvane("recode", "-", "--to", "cp037", stdin=MENU.read_bytes())
    assert from_stdin.stdout == out.read_bytes()


@pytest.mark.parametrize(
    "source, to, warned",
    [
        # Without a declaration nothing but a byte-order mark names the encoding.
        (SAMPLES / "page.html", "utf-16-le", True),
        (SAMPLES / "page.html", "utf-16", False),
        # An ASCII page reads the same as UTF-8.
        (SAMPLES / "page.html", "latin-1", False),
        (MENU, "utf-16-le", False),
    ],
)
def test_warns_when_output_would_be_misread(vexil, tmp_path, source, to, warned):
    result = recode(source, to, tmp_path / "out")
    err = result.stderr.decode()
    assert ("warning" in err) == warned, err


@posix_only
def test_interrupted_leaves_no_output(vexil, tmp_path):
    out = tmp_path / "out.xml"
    out.write_bytes(b"kept")
    pipe = subprocess.PIPE
    run = interruptible("recode", "-", "--to", "utf-16", "-o", out, stdin=pipe, stderr=pipe)
    run.stdin.write(b"<?xml version='1.0'?>\n<doc>" + b"x" * 2000)
    run.stdin.flush()
    # The temporary file beside the target shows that the run is writing.
    while not any(name.endswith(".tmp") for name in os.listdir(tmp_path)):
        assert run.poll() is None, run.stderr.read()
        time.sleep(0.01)
    status, err = interrupt(run)
    assert status == 130
    assert err.decode().splitlines() == ["corvane: interrupted"]
    assert out.read_bytes() == b"kept"
    assert os.listdir(tmp_path) == ["out.xml"]
    run.stdin.close()
