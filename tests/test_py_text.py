"""The str builder (src/python/py_text.cpp) against Python's own decoder.

Every text the module returns goes through it. Valid UTF-8 must give the very
str `bytes.decode` gives: same characters, same length and the same kind,
which CPython requires to be the narrowest that holds the characters (equality
compares kinds; `isascii` and `sys.getsizeof` also tell the ASCII form from a
one-byte str that merely holds ASCII characters). Bytes that are not valid
UTF-8 must be refused, never turned into a malformed str.
"""

from __future__ import annotations

import sys
import time

import pytest

import quillo


def same_str(got: str, expected: str) -> bool:
    return (
        type(got) is str
        and got == expected
        and len(got) == len(expected)
        and got.isascii() == expected.isascii()
        and sys.getsizeof(got) == sys.getsizeof(expected)
    )


CLASSES = [
    pytest.param("", id="empty"),
    pytest.param("a", id="one-ascii"),
    pytest.param("é", id="one-latin1"),
    pytest.param("(gdb) info registers\n", id="ascii"),
    pytest.param("\x00\x01\x7f", id="ascii-controls-nul-del"),
    pytest.param("café résumé", id="latin1"),
    pytest.param("\x80\x9f\xa0\xff", id="latin1-c1-nbsp-y-diaeresis"),
    pytest.param("жизнь", id="2-byte-cyrillic"),
    pytest.param("─────[ REGISTERS ]─────", id="3-byte-box-drawing"),
    pytest.param("\ud7ff\ue000\uffff\ufffd", id="3-byte-around-surrogates-largest"),
    pytest.param("\U00010000😀\U0010ffff", id="4-byte"),
    pytest.param("a─😀éĀ", id="mix-all-widths"),
]


@pytest.mark.parametrize("text", CLASSES)
def test_valid_text_of_every_width(hooks, text):
    for sample in (text, text * 5000):
        data = sample.encode()
        # Against the decoder's own str, not `sample`: from 3.12 on, a
        # one-character Latin-1 str from the decoder is CPython's shared
        # singleton, which carries its UTF-8 form and so measures larger in
        # `sys.getsizeof` than an equal str built from a literal.
        assert same_str(hooks.str_from_utf8(data), data.decode())


MALFORMED = [
    pytest.param(b"\x80", id="stray-continuation"),
    pytest.param(b"ab\xc3", id="truncated-2-byte-at-end"),
    pytest.param(b"\xe2\x82a", id="truncated-3-byte"),
    pytest.param(b"\xc0\xaf", id="overlong-c0"),
    pytest.param(b"\xe0\x80\x80", id="overlong-e0"),
    pytest.param(b"\xed\xa0\x80", id="surrogate"),
    pytest.param(b"\xf4\x90\x80\x80", id="above-u10ffff"),
    pytest.param(b"\xff", id="never-utf8-byte"),
    pytest.param(("─" * 1000).encode() + b"\xe2\x94", id="truncated-after-long-valid-run"),
]


@pytest.mark.parametrize("data", MALFORMED)
def test_malformed_bytes_are_refused(hooks, data):
    # A sanitizer fault that let such bytes through must surface as an error,
    # not as a str that breaks CPython's invariants.
    with pytest.raises(UnicodeDecodeError):
        hooks.str_from_utf8(data)


DEBUGGER_LINES = [
    "─────[ REGISTERS ]─────\n",
    "rax  0x7ffe12345678 ◂— 0x401126\n",
    "rdx  0x7fffffffe2c8 —▸ 0x7fffffffe59a ◂— 'SHELL=/bin/bash'\n",
    " ► 0x40113a <main+4>    sub    rsp, 0x10\n",
    "00:0000│ rsp 0x7fffffffe190 ◂— 0x0\n",
    "0x7fffffffe190:\t0x0000000000000000\t0x00007ffff7fe5af0\n",
]


# ---------------------------------------------------------------- through a session

def test_session_text_of_every_width(script):
    # The module's own results come through the same builder; the history is
    # cleaned as one piece, so no read boundary splits a character there.
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
