"""corvane_markup's documents: where the bytes come from, how the encoding
is named, and the errors that name the bad byte."""

import bz2
import codecs
import gzip
import io
import lzma

import pytest

import corvane_markup as cm
from corvane_markup.prescan import declared_charset  # noqa: E402

DECLARED = "<?xml version='1.0' encoding='{}'?><a>é</a>"
HTML = "<!DOCTYPE html><html><head>{}</head><body>{}</body></html>"


@pytest.mark.parametrize(
    "data, encoding, found_by, mode",
    [
        (b"\xef\xbb\xbf<a/>", "utf-8-sig", "byte-order mark", "xml"),
        ("<?xml version='1.0'?><a/>".encode("utf-16"), "utf-16", "byte-order mark", "xml"),
        ("<?xml version='1.0'?><a/>".encode("utf-16-be"), "utf-16-be", "byte pattern", "xml"),
        ("<?xml version='1.0'?><a/>".encode("utf-32-le"), "utf-32-le", "byte pattern", "xml"),
        (DECLARED.format("latin-1").encode("latin-1"), "latin-1", "declaration", "xml"),
        (b"<?xml version='1.0'?><a/>", "utf-8", "default", "xml"),
        (b"<a/>", "utf-8", "default", "xml"),
        # EBCDIC: the code page the declaration names, read through cp037.
        (DECLARED.format("cp500").encode("cp500"), "cp500", "declaration", "xml"),
        ("<?xml version='1.0'?><a/>".encode("cp037"), "cp037", "byte pattern", "xml"),
        # HTML: the <meta> prescan decides when nothing earlier does.
        (HTML.format("<meta charset='koi8-r'>", "жизнь").encode("koi8-r"), "koi8-r", "meta", "sgml"),
        (
            HTML.format('<meta http-equiv="Content-Type" content="text/html; charset=iso-8859-2">', "żółw").encode(
                "iso-8859-2"
            ),
            "iso8859-2",
            "meta",
            "sgml",
        ),
        (
            b"\xef\xbb\xbf" + HTML.format("<meta charset='koi8-r'>", "é").encode(),
            "utf-8-sig",
            "byte-order mark",
            "sgml",
        ),
        (HTML.format("<meta charset='utf-8'>", "é").encode(), "utf-8", "meta", "sgml"),
        (HTML.format("<title>x</title>", "é").encode(), "utf-8", "default", "sgml"),
    ],
)
def test_the_encoding_is_named(data, encoding, found_by, mode):
    doc = cm.open_document(data)
    assert (doc.encoding, doc.found_by, doc.mode) == (encoding, found_by, mode)
    text = "".join(doc.text())
    assert text == data.decode(encoding)


@pytest.mark.parametrize(
    "head, found",
    [
        (b"<meta charset=koi8-r>", "koi8-r"),
        (b"<META CHARSET='KOI8-R'>", "koi8-r"),
        (b"<meta http-equiv=content-type content='text/html;charset=\"cp1251\"'>", "cp1251"),
        (b"<meta content='text/html; charset=cp1251' http-equiv='Content-Type'>", "cp1251"),
        # A content charset without the pragma, and a pragma without a charset.
        (b"<meta content='text/html; charset=cp1251'>", None),
        (b"<meta http-equiv=content-type content=text/html><meta charset=koi8-r>", "koi8-r"),
        (b"<!-- <meta charset=koi8-r> --><meta charset=cp1251>", "cp1251"),
        (b"<!--><meta charset=cp1251>", "cp1251"),
        (b"<p title='<meta charset=koi8-r>'><meta charset=cp1251>", "cp1251"),
        (b"<meta charset=nonesuch><meta charset=koi8-r>", "koi8-r"),
        # What browsers read instead of what is written.
        (b"<meta charset=utf-16le>", "utf-8"),
        (b"<meta charset=iso-8859-1>", "cp1252"),
        (b" " * 1020 + b"<meta charset=koi8-r>", None),
        (b"<meta charset=koi8-r", None),
        (b"", None),
    ],
)
def test_meta_prescan(head, found):
    assert declared_charset(head) == found


def test_an_explicit_encoding_wins():
    data = b"\xef\xbb\xbf<?xml version='1.0' encoding='utf-16'?><a/>"
    doc = cm.open_document(data, encoding="latin-1")
    assert (doc.encoding, doc.found_by) == ("latin-1", "given")
    assert "".join(doc.text()) == data.decode("latin-1")
    with pytest.raises(cm.DecodingError, match="not a text encoding"):
        cm.open_document(b"<a/>", encoding="rot13")
    with pytest.raises(cm.DecodingError, match="unknown encoding 'nonesuch' .given."):
        cm.open_document(b"<a/>", encoding="nonesuch")


@pytest.mark.parametrize("pack, kind", [(gzip.compress, "gzip"), (bz2.compress, "bzip2"), (lzma.compress, "xz")])
def test_compressed_input_is_read_through(tmp_path, pack, kind):
    page = HTML.format("<meta charset=koi8-r>", "жизнь").encode("koi8-r") * 3000
    path = tmp_path / "page.html.gz"
    path.write_bytes(pack(page))
    with cm.open_document(path) as doc:
        # The suffix under the compression's tells the mode.
        assert (doc.compression, doc.mode, doc.encoding) == (kind, "sgml", "koi8-r")
        assert "".join(doc.text()) == page.decode("koi8-r")


@pytest.mark.parametrize(
    "cut, message",
    [
        (0.5, "gzip stream ends early"),
        (-4, "gzip stream is damaged"),  # the check sum is wrong
    ],
)
def test_a_broken_gzip_stream_is_an_error(cut, message):
    packed = bytearray(gzip.compress(b"<a>" + b"text " * 40000 + b"</a>"))
    if cut < 0:
        packed[cut] ^= 0xFF
        packed = bytes(packed)
    else:
        packed = bytes(packed[: int(len(packed) * cut)])
    doc = cm.open_document(packed)
    got = []
    with pytest.raises(cm.DecodingError, match=message):
        for piece in doc.text():
            got.append(piece)
    text = "".join(got)
    assert text.startswith("<a>text text") and ("<a>" + "text " * 40000 + "</a>").startswith(text)


def test_sources(tmp_path):
    data = DECLARED.format("latin-1").encode("latin-1")
    path = tmp_path / "doc.xml"
    path.write_bytes(data)
    stream = io.BytesIO(b"junk" + data)
    stream.read(4)
    for source in (path, str(path), data, bytearray(data), memoryview(data), stream):
        with cm.open_document(source) as doc:
            assert "".join(doc.text()) == data.decode("latin-1")
    assert not stream.closed
    with cm.open_document(str(path)) as doc:
        assert doc.name == str(path)
    assert cm.open_document(data, name="mine").name == "mine"
    with pytest.raises(FileNotFoundError):
        cm.open_document(tmp_path / "missing.xml")


def test_undecodable_bytes_name_their_offset_and_keep_the_text_before():
    data = b"<a>" + b"x" * 5000 + b"\xc3\x28" + b"y" * 10
    doc = cm.open_document(data, chunk_size=64)
    got = []
    with pytest.raises(cm.DecodingError) as caught:
        for piece in doc.text():
            got.append(piece)
    assert caught.value.offset == 5003
    assert "offset 5003 (c3) are not valid utf-8" in str(caught.value)
    assert "".join(got) == "<a>" + "x" * 5000


@pytest.mark.parametrize(
    "data, message",
    [
        (
            DECLARED.format("utf-8").encode("latin-1"),
            "declared encoding 'utf-8' does not fit the document .bytes at offset 41 .e9.",
        ),
        (DECLARED.format("utf-16").encode(), "declared encoding 'utf-16' does not fit"),
        (DECLARED.format("cp500").encode("latin-1"), "bytes do not spell the declaration"),
        (DECLARED.format("nonesuch").encode(), "unknown encoding 'nonesuch' .named by the declaration."),
        (b"<?xml version='1.0' encoding='utf", "ends inside its XML declaration"),
        (b"<?xml version='1.0' encoding='" + b"x" * 70000, "does not end within the first"),
        (b"<?xml version=1.0?>", "<bytes>: "),
    ],
)
def test_bad_declarations(data, message):
    with pytest.raises(cm.DecodingError, match=message):
        "".join(cm.open_document(data).text())


def test_the_decoder_takes_any_cut():
    text = "<?xml version='1.0' encoding='shift_jis'?><a>" + "漢字かな" * 500
    data = text.encode("shift_jis")
    for size in (1, 7, 1000):
        decoder = cm.TextDecoder()
        out = [decoder.decode(data[i : i + size]) for i in range(0, len(data), size)]
        assert "".join(out) + decoder.decode(b"", True) == text
        assert (decoder.encoding, decoder.found_by, decoder.mode) == ("shift_jis", "declaration", "xml")
    assert codecs.lookup(decoder.encoding).name == "shift_jis"


@pytest.mark.parametrize(
    "start, path, mode",
    [
        ("<?xml version='1.0'?><html>", "page.html", "xml"),
        ("<html><body>", "page.htm", "sgml"),
        ("<p>", "doc.sgm", "sgml"),
        ("\ufeff \n<!DOCTYPE HTML PUBLIC>", "", "sgml"),
        ("<html>", "page.xhtml", "xml"),
        ("<doc/>", "", "xml"),
    ],
)
def test_choose_mode(start, path, mode):
    assert cm.choose_mode(start, path) == mode
