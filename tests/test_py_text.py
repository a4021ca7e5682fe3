"""The str builder for valid UTF-8 (src/py_text.cpp) against Python's own decoder.

Every case runs on both paths: the portable one and, where the processor has
AVX-512, the wide one. The result must be the very str `bytes.decode` gives:
same characters, same length and the same kind, which CPython requires to be
the narrowest that holds the characters. Equality compares kinds; `isascii`
and `sys.getsizeof` also tell the ASCII form from a one-byte str that merely
holds ASCII characters.
"""

from __future__ import annotations

import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quillo


@pytest.fixture(scope="module", params=["portable", "wide"])
def decode(request, hooks):
    if request.param == "wide":
        if not hooks.wide_paths():
            pytest.skip("no AVX-512 BW/VL/VBMI/VBMI2 on this processor")
        return lambda data: hooks.str_from_utf8(data)
    return lambda data: hooks.str_from_utf8(data, portable=True)


def same_str(got: str, expected: str) -> bool:
    return (
        type(got) is str
        and got == expected
        and len(got) == len(expected)
        and got.isascii() == expected.isascii()
        and sys.getsizeof(got) == sys.getsizeof(expected)
    )


def check(decode, text: str, where=None):
    data = text.encode()
    got = decode(data)
    # Against the decoder's own str, not `text`: from 3.12 on, a one-character Latin-1 str from
    # the decoder is CPython's shared singleton, which carries its UTF-8 form and so measures
    # larger in `sys.getsizeof` than an equal str built some other way (as hypothesis does).
    assert same_str(got, data.decode()), (where, data[:80])


# ---------------------------------------------------------------- fixed examples

CLASSES = [
    pytest.param("", id="empty"),
    pytest.param("a", id="one-ascii"),
    pytest.param("é", id="one-latin1"),
    pytest.param("─", id="one-3-byte"),
    pytest.param("(gdb) info registers\n", id="ascii"),
    pytest.param("\x00\x01\x7f", id="ascii-controls-nul-del"),
    pytest.param("café résumé", id="latin1-e-acute"),
    pytest.param("\x80\x9f\xa0\xff", id="latin1-c1-nbsp-y-diaeresis"),
    pytest.param("\xc3\xc2", id="latin1-chars-spelled-like-leads"),
    pytest.param("ĀĀ", id="2-byte-u0100"),
    pytest.param("жизнь", id="2-byte-cyrillic"),
    pytest.param("\u07ff", id="2-byte-largest"),
    pytest.param("\u0800", id="3-byte-smallest"),
    pytest.param("─────[ REGISTERS ]─────", id="3-byte-box-drawing"),
    pytest.param("rax  0x7ffe12345678 ◂— 0x401126", id="3-byte-arrows"),
    pytest.param("5 €", id="3-byte-euro"),
    pytest.param("\ud7ff\ue000", id="3-byte-around-surrogates"),
    pytest.param("\uffff\ufffd", id="3-byte-largest-and-replacement"),
    pytest.param("😀", id="4-byte-emoji"),
    pytest.param("\U00010000\U0010ffff", id="4-byte-smallest-largest"),
    pytest.param("é─", id="mix-latin1-3-byte"),
    pytest.param("éĀ", id="mix-latin1-2-byte"),
    pytest.param("a─😀é", id="mix-all-widths"),
    pytest.param("é" * 40 + "a" * 40, id="mix-latin1-run-then-ascii"),
    pytest.param("─" * 40 + "é" * 40 + "ж" * 40, id="mix-runs-of-each-width"),
]


@pytest.mark.parametrize("text", CLASSES)
def test_classes(decode, text):
    check(decode, text)
    check(decode, text * 50)  # long enough for the wide rounds


# ---------------------------------------------------------------- every length and offset

# (filler, odd one out): a text of `filler` repeated, with the odd character
# placed at every offset of the first and last 64 characters. Non-ASCII
# fillers keep the wide rounds off their all-ASCII shortcut.
PAIRS = [
    pytest.param("a", "é", id="ascii+latin1"),
    pytest.param("a", "Ā", id="ascii+2-byte"),
    pytest.param("a", "─", id="ascii+3-byte"),
    pytest.param("a", "😀", id="ascii+4-byte"),
    pytest.param("é", "a", id="latin1+ascii"),
    pytest.param("ÿ", "é", id="latin1+latin1"),
    pytest.param("é", "─", id="latin1+3-byte"),
    pytest.param("ж", "a", id="2-byte+ascii"),
    pytest.param("─", "a", id="3-byte+ascii"),
    pytest.param("─", "é", id="3-byte+latin1"),
    pytest.param("◂", "ж", id="3-byte+2-byte"),
]

LENGTHS = [*range(0, 201), 1000, 1021, 4096, 4099]


@pytest.mark.parametrize(("filler", "odd"), PAIRS)
def test_odd_character_at_every_offset(decode, filler, odd):
    for length in LENGTHS:
        check(decode, filler * length, (length, None))
        offsets = set(range(min(length, 64))) | set(range(max(0, length - 64), length + 1))
        for offset in sorted(offsets):
            text = filler * offset + odd + filler * (length - offset)
            check(decode, text, (length, offset))


@pytest.mark.parametrize(
    "odd", ["é", "ж", "─", "😀"], ids=["latin1", "2-byte", "3-byte", "4-byte"]
)
def test_odd_character_after_ascii_prefix_of_every_length(decode, odd):
    # The odd character's bytes at every alignment to the 8-, 32- and 64-byte
    # steps, followed by a run long enough for another step.
    for prefix in range(0, 200):
        text = "x" * prefix + odd + "y" * 70 + odd
        check(decode, text, prefix)


# ---------------------------------------------------------------- debugger output

DEBUGGER_LINES = [
    "─────[ REGISTERS ]─────\n",
    "rax  0x7ffe12345678 ◂— 0x401126\n",
    "rdx  0x7fffffffe2c8 —▸ 0x7fffffffe59a ◂— 'SHELL=/bin/bash'\n",
    " ► 0x40113a <main+4>    sub    rsp, 0x10\n",
    "00:0000│ rsp 0x7fffffffe190 ◂— 0x0\n",
    "0x7fffffffe190:\t0x0000000000000000\t0x00007ffff7fe5af0\n",
]


def test_megabytes_of_debugger_output(decode):
    text = "".join(DEBUGGER_LINES) * 6000
    assert len(text.encode()) > 1_000_000
    check(decode, text)
    check(decode, text + "é")  # now Latin-1 below the largest character too
    check(decode, "é" + text[1:])


# ---------------------------------------------------------------- random text

ascii_heavy = st.text(
    alphabet=st.one_of(
        st.characters(max_codepoint=0x7F),
        st.characters(max_codepoint=0x7F),
        st.characters(max_codepoint=0x7F),
        st.characters(exclude_categories=("Cs",)),
    ),
    max_size=300,
)
narrow = st.one_of(
    st.text(alphabet=st.characters(max_codepoint=0xFF), max_size=300),
    st.text(alphabet=st.characters(max_codepoint=0xFFFF, exclude_categories=("Cs",)), max_size=300),
    st.text(alphabet=st.sampled_from("a \n─◂—▸│é"), max_size=300),
)
any_text = st.one_of(st.text(max_size=300), ascii_heavy, narrow)


@settings(max_examples=400, deadline=None)
@given(any_text)
def test_random_valid_text(decode, text):
    check(decode, text)


@settings(max_examples=100, deadline=None)
@given(st.lists(any_text, min_size=2, max_size=8))
def test_random_text_joined(decode, pieces):
    # Longer texts whose classes change from piece to piece.
    check(decode, "".join(pieces))


# ---------------------------------------------------------------- through a session

def test_session_text_of_every_width(script):
    # The module's own results come through the same builder (on the wide path
    # where there is one); the history is cleaned as one piece, so no read
    # boundary splits a character there.
    text = ("".join(DEBUGGER_LINES) + "café ĀжӜ € 😀 \u07ff\u0800\uffff\n") * 300
    child = script(
        f"""
        import sys
        sys.stdout.buffer.write({text.encode()!r})
        sys.stdout.flush()
        """
    )
    q = quillo.Quillo(child, False)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            piece = q.read_until_ready(timeout_ms=2000, max_output_bytes=1 << 20, quiet_ms=300)
            if not piece and not q.is_alive():
                break
        history = q.get_history()
    finally:
        q.close()
    assert same_str(history, text)
