"""How the corvane tool fails: every failure one line with its documented
status, never a traceback; and the inputs and outputs that once did harm."""

import gzip
import os
import re
import stat
import subprocess
import threading

import pytest

from cli_support import (  # noqa: F401  (fixtures)
    CORVANE,
    SAMPLES,
    corvane,
    environment,
    failed_with,
    json_events,
    parsing,
    vexil,
)

MENU = SAMPLES / "menu-utf8.xml"


def documented_statuses():
    result = corvane("--help")
    return {int(n) for n in re.findall(r"^  (\d+) ", result.stdout.decode(), re.M)}


def long_comment(tmp_path):
    # Closed, but longer than a construct is waited for.
    path = tmp_path / "long.xml"
    path.write_text("<doc><!-- " + "x" * (9 * 1024 * 1024) + " --></doc>")
    return path


def stand_in_interrupt(tmp_path):
    # Found before the standard library's own, so the interrupt comes while
    # the tool's modules are still loading.
    (tmp_path / "argparse.py").write_text(
        "import os, signal, time\nos.kill(os.getpid(), signal.SIGINT)\ntime.sleep(30)\n"
    )
    return {"PYTHONPATH": str(tmp_path)}


# (id, arguments, environment maker, status, words the line must hold,
# words it must not). "{tmp}" is the test's folder, MENU a good document.
FAILURES = [
    ("to undefined", ["recode", MENU, "--to", "undefined"], None, 2, ["--to", "'undefined'"], []),
    ("to punycode", ["recode", MENU, "--to", "punycode"], None, 2, ["'punycode' is not a text encoding"], []),
    ("to unicode_escape", ["recode", MENU, "--to", "unicode_escape"], None, 2, ["not a text encoding"], []),
    ("to raw_unicode_escape", ["recode", MENU, "--to", "raw_unicode_escape"], None, 2, ["not a text encoding"], []),
    ("to idna", ["recode", MENU, "--to", "idna"], None, 2, ["not a text encoding"], []),
    ("to hex", ["recode", MENU, "--to", "hex"], None, 2, ["not a text encoding"], []),
    (
        "encoding unknown",
        ["events", "--encoding", "nope", MENU],
        None,
        2,
        ["--encoding", "unknown encoding 'nope'"],
        [],
    ),
    (
        "encoding punycode",
        ["stats", "--encoding", "punycode", MENU],
        None,
        2,
        ["--encoding", "not a text encoding"],
        [],
    ),
    (
        "declared punycode",
        ["events", "{tmp}/puny.xml"],
        None,
        1,
        ["'punycode' is not a text encoding (named by the declaration)"],
        [],
    ),
    (
        "output in /proc",
        ["recode", MENU, "--to", "utf-16", "-o", "/proc/version"],
        None,
        3,
        ["/proc/version", "cannot write", "no new file can be made in /proc"],
        [],
    ),
    ("output a directory", ["recode", MENU, "--to", "utf-16", "-o", "."], None, 3, ["Is a directory"], ["busy"]),
    ("events to a full disk", ["events", MENU], "full", 3, ["<stdout>", "No space left"], []),
    ("stats to a full disk", ["stats", MENU], "full", 3, ["<stdout>", "No space left"], []),
    ("recode to a full disk", ["recode", MENU, "--to", "utf-16"], "full", 3, ["<stdout>", "No space left"], []),
    (
        "recode -o a full disk",
        ["recode", MENU, "--to", "utf-16", "-o", "/dev/full"],
        None,
        3,
        ["/dev/full", "No space left"],
        [],
    ),
    ("missing file", ["stats", "{tmp}/absent.xml"], None, 3, ["absent.xml", "No such file"], []),
    (
        "closed long comment",
        ["events", "{tmp}/long.xml"],
        None,
        1,
        ["starts at character 5", "still open"],
        ["unclosed"],
    ),
    ("interrupted at start-up", ["stats", MENU], "interrupt", 130, ["interrupted"], []),
]


@pytest.mark.parametrize(
    "args, env, status, words, absent", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES]
)
def test_every_failure_is_one_line(parsing, tmp_path, args, env, status, words, absent):
    assert status in documented_statuses()
    (tmp_path / "puny.xml").write_bytes(b'<?xml version="1.0" encoding="punycode"?><a/>')
    if "{tmp}/long.xml" in args:
        long_comment(tmp_path)
    args = [str(a).replace("{tmp}", str(tmp_path)) for a in args]
    if env == "full":
        with open("/dev/full", "wb") as full:
            run = subprocess.run(
                [str(CORVANE), *args], stdout=full, stderr=subprocess.PIPE, env=environment(), timeout=120
            )
    else:
        run = corvane(*args, env=stand_in_interrupt(tmp_path) if env == "interrupt" else None)
    line = failed_with(run, status, *words)
    for word in absent:
        assert word not in line


@pytest.mark.parametrize(
    "args",
    [["stats", "--bogus", MENU], ["recode", MENU, "--to", "utf-8", "--nope"], ["events", "--jobs", "0", MENU]],
)
def test_a_wrong_option_shows_its_commands_usage(args):
    run = corvane(*args)
    err = run.stderr.decode()
    assert run.returncode == 2 and "Traceback" not in err
    command = args[0]
    assert err.startswith(f"usage: corvane {command} ")
    assert err.splitlines()[-1].startswith(f"corvane {command}: error: ")


def test_output_the_terminal_cannot_hold_is_escaped(parsing, tmp_path):
    path = tmp_path / "caf\u00e9.xml"
    path.write_text("<r><\u00e9l\u00e9ment/></r>", encoding="utf-8")
    env = {"PYTHONIOENCODING": "ascii"}
    stats = corvane("stats", path, env=env)
    assert stats.returncode == 0 and stats.stderr == b""
    assert b"\\xe9l\\xe9ment 1" in stats.stdout
    named = corvane("encoding", path, env=env)
    assert named.returncode == 0 and named.stderr == b""
    assert named.stdout.endswith(b"caf\\xe9.xml: utf-8 (default)\n")
    # A file name that is not text in the locale comes back as its own bytes.
    raw = os.fsencode(tmp_path) + b"/bad\xff.xml"
    with open(raw, "wb") as out:
        out.write(b"<a/>")
    named = corvane("encoding", os.fsdecode(raw), env={"LC_ALL": "C.UTF-8"})
    assert named.returncode == 0 and named.stdout == raw + b": utf-8 (default)\n"


def test_recode_output_to_links_and_special_files(vexil, tmp_path):
    expected = corvane("recode", MENU, "--to", "utf-16").stdout
    # A link is followed; the file it names is replaced, the link kept.
    target = tmp_path / "target.xml"
    target.write_bytes(b"old")
    link = tmp_path / "link.xml"
    link.symlink_to(target)
    assert corvane("recode", MENU, "--to", "utf-16", "-o", link).returncode == 0
    assert link.is_symlink() and target.read_bytes() == expected
    # A link to a path that does not exist yet makes the file there.
    dangling = tmp_path / "dangling.xml"
    dangling.symlink_to(tmp_path / "new.xml")
    assert corvane("recode", MENU, "--to", "utf-16", "-o", dangling).returncode == 0
    assert dangling.is_symlink() and (tmp_path / "new.xml").read_bytes() == expected
    # A device stays a device, also behind a link.
    devnull = tmp_path / "devnull"
    devnull.symlink_to(os.devnull)
    for out in (os.devnull, devnull):
        assert corvane("recode", MENU, "--to", "utf-16", "-o", out).returncode == 0
        assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    # A FIFO is written to, not replaced.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    assert corvane("recode", MENU, "--to", "utf-16", "-o", fifo).returncode == 0
    reader.join(timeout=60)
    assert got == [expected] and stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "dangling.xml",
        "devnull",
        "fifo",
        "link.xml",
        "new.xml",
        "target.xml",
    ]


@pytest.mark.parametrize("code_page", ["cp500", "cp1140", "cp037"])
def test_ebcdic_code_pages_are_read_as_declared(vexil, tmp_path, code_page):
    out = tmp_path / "out.xml"
    run = corvane("recode", MENU, "--to", code_page, "-o", out)
    assert run.returncode == 0 and run.stderr == b""
    assert corvane("encoding", out).stdout.decode() == f"{out}: {code_page} (declaration)\n"
    back = tmp_path / "back.xml"
    assert corvane("recode", out, "--to", "UTF-8", "-o", back).returncode == 0
    assert back.read_bytes() == MENU.read_bytes()


def test_pages_named_by_meta_and_compressed_files(parsing, tmp_path):
    page = '<html><head><meta charset="iso-8859-15"></head><body>\u20ac caf\u00e9</body></html>'
    path = tmp_path / "page.html"
    path.write_bytes(page.encode("iso-8859-15"))
    texts = [e["text"] for e in json_events(corvane("events", "--json", path)) if e["event"] == "text"]
    assert texts == ["\u20ac caf\u00e9"]
    packed = tmp_path / "page.html.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    assert json_events(corvane("events", "--json", packed)) == json_events(corvane("events", "--json", path))
    assert corvane("encoding", packed).stdout.decode().endswith(" (meta, gzip)\n")
