"""The output sanitizer: fixed examples, a reference model, two-piece input.

The reference model below is a direct transcription of the filter's state
table followed by Python's own UTF-8 decoder with "replace", which substitutes
U+FFFD per maximal ill-formed subpart just as the sanitizer must. It shares no
code or shortcuts with src/text/sanitize.cpp (no word-at-a-time scans, no
valid-prefix skipping), so any disagreement points at the C++ side or at the
table transcription; the latter is pinned by running the model over the same
fixed examples.
"""

from __future__ import annotations

import itertools
import platform

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

ESC, BEL, TAB, LF, CR, BSL = 0x1B, 0x07, 0x09, 0x0A, 0x0D, 0x5C

# state: ({byte: next state}, next state for every other byte)
TRANSITIONS = {
    "text": ({ESC: "escape"}, "text"),
    "escape": (
        {ord("["): "csi", ord("]"): "osc", ord("P"): "string", ord("^"): "string", ord("_"): "string"},
        "text",
    ),
    "csi": ({b: "text" for b in range(0x40, 0x7F)}, "csi"),
    "osc": ({BEL: "text", ESC: "osc_esc"}, "osc"),
    "osc_esc": ({BSL: "text", BEL: "text", ESC: "osc_esc"}, "osc"),
    "string": ({ESC: "string_esc"}, "string"),  # DCS, PM, APC
    "string_esc": ({BSL: "text", ESC: "string_esc"}, "string"),
}
# The only bytes ever emitted: those met in the text state, except CR, ESC and
# the other C0 controls.
KEPT_IN_TEXT = frozenset({TAB, LF} | set(range(0x20, 0x100)))


def reference(data: bytes) -> str:
    kept = bytearray()
    state = "text"
    for b in data:
        if state == "text" and b in KEPT_IN_TEXT:
            kept.append(b)
        moves, otherwise = TRANSITIONS[state]
        state = moves.get(b, otherwise)
    return kept.decode("utf-8", "replace")


# ---------------------------------------------------------------- fixed examples

EDGE_CASES = [
    pytest.param(b"", "", id="empty"),
    pytest.param(b"ls\r\n", "ls\n", id="crlf"),
    pytest.param(b"a\rb", "ab", id="lone-cr-no-overwrite"),
    pytest.param(b"\x1b[01;32mgreen\x1b[0m text", "green text", id="two-csi"),
    pytest.param(b"\x1b[?2004h(gdb) ", "(gdb) ", id="csi-private-param"),
    pytest.param(b"\x1b]0;title\x07prompt$ ", "prompt$ ", id="osc-bel"),
    pytest.param(b"\x1b]8;;file\x1b\\link\x1b]8;;\x1b\\", "link", id="osc-st-hyperlink"),
    pytest.param(b"\x1b]0;a\x1bxb\x07c", "c", id="osc-esc-not-st"),
    pytest.param(b"\x1bPq#0\x07data\x1b\\end", "end", id="dcs-bel-swallowed"),
    pytest.param(b"a\x1b(Bb", "aBb", id="charset-designation"),
    pytest.param(b"\x1bOA", "A", id="ss3"),
    pytest.param(b"\x1b\x1b[31mred", "[31mred", id="esc-esc"),
    pytest.param(b"x\x1b[12", "x", id="unfinished-csi"),
    pytest.param(b"x\x1b", "x", id="trailing-esc"),
    pytest.param(b"x\x1b[", "x", id="trailing-csi-introducer"),
    pytest.param(b"x\x1b]0;no end", "x", id="unterminated-osc"),
    pytest.param(b"\x1b[1\nAb", "b", id="lf-inside-csi"),
    pytest.param(b"a\x08b\x07c\x00d\x7fe", "abcd\x7fe", id="bs-bel-nul-dropped-del-kept"),
    pytest.param(b"a\tb\x0bc\x0cd", "a\tbcd", id="tab-kept-vt-ff-dropped"),
    pytest.param(b"caf\xc3\xa9", "café", id="utf8"),
    pytest.param(b"caf\xc3\r\xa9", "café", id="utf8-rejoined-after-cr"),
    pytest.param(b"\xff", "\ufffd", id="never-utf8-byte"),
    pytest.param(b"\xf0\x9f\x98A", "\ufffdA", id="truncated-4-byte"),
    pytest.param(b"\x9b31m", "\ufffd31m", id="8-bit-csi-not-recognised"),
]

# Further behaviour the state table fixes, beyond the rows above.
MORE_CASES = [
    pytest.param(b"\x1bXsos\x1b\\", "sos", id="sos-and-lone-st-are-two-byte-escapes"),
    pytest.param(b"\x1b^pm\x07still\x1b\\after", "after", id="pm-ends-only-at-st"),
    pytest.param(b"\x1b_apc\x1b\x1b\\after", "after", id="apc-esc-esc-st"),
    pytest.param(b"\x1bPdcs\x1bx\x1b\\after", "after", id="dcs-esc-other-continues"),
    pytest.param(b"\x1b]osc\x1b\x07after", "after", id="osc-esc-bel-ends"),
    pytest.param(b"\x1b]osc\x1b\x1b\\after", "after", id="osc-esc-esc-st"),
    pytest.param(b"\x1b[\x1b[31mX", "31mX", id="esc-inside-csi-bracket-is-final"),
    pytest.param(b"\x1b[\xc3\xa9mX", "X", id="high-bytes-inside-csi"),
    pytest.param(b"\x1b[?@X", "X", id="csi-final-0x40"),
    pytest.param(b"\x1b[1~X", "X", id="csi-final-0x7e"),
    pytest.param(b"\x1b[1\x7fmX", "X", id="del-inside-csi-is-not-final"),
    pytest.param(b"\x1bPunterminated\x07", "", id="unterminated-dcs"),
    pytest.param(b"\xc2\x85\xc2\x9b", "\x85\x9b", id="c1-as-utf8-characters-kept"),
    pytest.param(b"\x80\xbf", "\ufffd\ufffd", id="stray-continuations"),
    pytest.param(b"\xc0\xaf", "\ufffd\ufffd", id="overlong-c0"),
    pytest.param(b"\xe0\x80\x80", "\ufffd\ufffd\ufffd", id="overlong-e0"),
    pytest.param(b"\xed\xa0\x80", "\ufffd\ufffd\ufffd", id="surrogate-ed"),
    pytest.param(b"\xf4\x90\x80\x80", "\ufffd" * 4, id="above-u10ffff"),
    pytest.param(b"\xe2\x82\xf0\x9f\x98\x80", "\ufffd\U0001f600", id="truncated-then-valid"),
    pytest.param(b"\xf4\x8f\xbf\xbf", "\U0010ffff", id="u10ffff"),
    pytest.param(b"\xe2\x82", "\ufffd", id="truncated-at-end"),
    pytest.param(b"\xe2\x1b[0m\x82\xac", "€", id="utf8-rejoined-across-csi"),
]


@pytest.mark.parametrize(("data", "expected"), EDGE_CASES + MORE_CASES)
def test_fixed_examples(hooks, data, expected):
    assert hooks.sanitize(data) == expected


@pytest.mark.parametrize(("data", "expected"), EDGE_CASES + MORE_CASES)
def test_reference_model_matches_fixed_examples(data, expected):
    # Guards the model that the property tests trust.
    assert reference(data) == expected


@pytest.mark.parametrize(
    "piece",
    [b"\x00", b"\x07", b"\t", b"\n", b"\r", b"\x1b[m", b"\x1b]t\x07", b"\x1f",
     b" ", b"\x7f", b"\x80", b"\xff", b"\xc3\xa9", b"\xe2\x82"],
    ids=repr,
)
def test_piece_at_every_alignment(hooks, piece):
    # The text state and the decoder skip printable and ASCII runs eight bytes
    # at a time; a byte that stops the run must be found at any offset within
    # a word, in the word-sized part and in the byte-wise tail.
    for before in range(0, 25):
        for after in (0, 1, 7, 8, 9, 23):
            data = b"a" * before + piece + b"z" * after
            assert hooks.sanitize(data) == reference(data), (before, after)


# ---------------------------------------------------------------- random input

CONTROL_BYTES = [ESC, ord("["), ord("]"), ord("P"), ord("^"), ord("_"), BSL, BEL, CR, LF, TAB,
                 0x00, 0x08, 0x0B, 0x1F, 0x7F, ord("X"), ord("("), ord("@"), ord("~"), ord("?")]
SEQUENCES = [b"\x1b[0m", b"\x1b[?2004h", b"\x1b]0;title\x07", b"\x1b]8;;u\x1b\\",
             b"\x1bP1$r\x1b\\", b"\x1b_apc\x1b\\", b"\x1b(B", b"\x1bOA", b"\r\n"]


@st.composite
def utf8_pieces(draw):
    """A whole multi-byte character or a leading part of one."""
    char = draw(st.characters(min_codepoint=0x80, exclude_categories=("Cs",)))
    encoded = char.encode()
    return encoded[: draw(st.integers(1, len(encoded)))]


control = st.sampled_from(CONTROL_BYTES).map(lambda b: bytes([b]))
high = st.integers(0x80, 0xFF).map(lambda b: bytes([b]))
ascii_run = st.lists(st.integers(0x20, 0x7E), max_size=40).map(bytes)
kept_run = st.lists(st.integers(0x20, 0xFF), max_size=40).map(bytes)  # no control stops these

tokens = st.one_of(
    control, control, control,
    high,
    utf8_pieces(),
    ascii_run, kept_run,
    st.sampled_from(SEQUENCES),
)
adversarial = st.lists(tokens, max_size=80).map(b"".join)

# Small alphabets, so that the pairs and triples that switch states (ESC "^",
# ESC BEL inside OSC, "~" ending a CSI, E0 80, F4 90 ...) come up often.
ESCAPE_ALPHABET = b"\x1b[]P^_\\\x07\r\n\t~@?ma\x7f"
UTF8_BOUNDARY_BYTES = b"\x80\x8f\x90\x9f\xa0\xbf\xc0\xc1\xc2\xdf\xe0\xed\xef\xf0\xf4\xf5\xffA"
escape_dense = st.lists(st.sampled_from(ESCAPE_ALPHABET), max_size=60).map(bytes)
utf8_dense = st.lists(st.sampled_from(UTF8_BOUNDARY_BYTES), max_size=40).map(bytes)

# Escape sequences built as introducer, short body, one of the ways to end (or
# not end) it, then text that shows where the sequence really ended.
INTRODUCERS = [b"\x1b", b"\x1b[", b"\x1b]", b"\x1bP", b"\x1b^", b"\x1b_", b"\x1bX", b"\x1b("]
BODY_BYTES = b"\x1b\x07\\;0?a\n\r\x7f\xc3"
ENDINGS = [b"", b"\x07", b"\x1b\\", b"\x1b\x07", b"\x1b\x1b\\", b"\x1bx", b"~", b"@", b"m", b"?"]
AFTERS = [b"", b"x", b"\n", b"ab", b"\xc3\xa9"]
sequence_segment = st.tuples(
    st.sampled_from(INTRODUCERS),
    st.lists(st.sampled_from(BODY_BYTES), max_size=6).map(bytes),
    st.sampled_from(ENDINGS),
    st.sampled_from(AFTERS),
).map(b"".join)
segments = st.lists(sequence_segment, max_size=12).map(b"".join)

any_bytes = st.one_of(st.binary(max_size=300), adversarial, escape_dense, utf8_dense, segments)

PROPERTY = settings(max_examples=300, deadline=None)


@PROPERTY
@given(any_bytes)
def test_matches_reference_model(hooks, data):
    assert hooks.sanitize(data) == reference(data)


@PROPERTY
@given(any_bytes)
def test_output_invariants(hooks, data):
    text = hooks.sanitize(data)
    assert isinstance(text, str)
    text.encode("utf-8")  # strict: no lone surrogates, so valid UTF-8
    assert not {c for c in text if c < " " and c not in "\t\n"}, "C0 control other than TAB/LF"


@PROPERTY
@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",), min_codepoint=0x20)
               | st.sampled_from("\t\n")))
def test_clean_text_passes_unchanged(hooks, text):
    assert hooks.sanitize(text.encode()) == text


def test_every_introducer_body_and_ending(hooks):
    # Exhaustive over the combinations that drive each state-table row, so no
    # transition depends on the luck of random generation.
    bodies = [b"", b"0;a", b"\x07", b"\x1b", b"\\", b"\n\x7f\xc3"]
    mismatches = [
        data
        for parts in itertools.product(INTRODUCERS, bodies, ENDINGS, AFTERS)
        if hooks.sanitize(data := b"".join(parts)) != reference(data)
    ]
    assert not mismatches


# ---------------------------------------------------------------- two pieces

SPLITS = [
    pytest.param(b"a\x1b", b"[31mb", id="esc|csi"),
    pytest.param(b"a\x1b[3", b"1mb", id="inside-csi"),
    pytest.param(b"\x1b]0;t\x1b", b"\\b", id="osc-esc|bsl"),
    pytest.param(b"\x1bPq\x1b", b"\x1b\\b", id="dcs-esc|esc-bsl"),
    pytest.param(b"caf\xc3", b"\xa9", id="utf8-2"),
    pytest.param(b"\xf0\x9f", b"\x98\x80", id="utf8-4"),
    pytest.param(b"\xe2\x82\r", b"\xac", id="utf8-cr-between"),
    pytest.param(b"\xe2", b"A", id="truncated-then-ascii"),
    pytest.param(b"", b"ab\x1b[m", id="empty-first"),
    pytest.param(b"ab\x1b[m", b"", id="empty-second"),
    pytest.param(b"", b"", id="both-empty"),
]


@pytest.mark.parametrize(("a", "b"), SPLITS)
def test_two_pieces_fixed_splits(hooks, a, b):
    assert hooks.sanitize_two(a, b) == hooks.sanitize(a + b) == reference(a + b)


@PROPERTY
@given(st.data())
def test_two_pieces_equal_one(hooks, data):
    whole = data.draw(any_bytes)
    cut = data.draw(st.integers(0, len(whole)))
    assert hooks.sanitize_two(whole[:cut], whole[cut:]) == hooks.sanitize(whole)


# ---------------------------------------------------------------- both paths

# The module cleans on its "best" path: where the processor has AVX-512, the
# text state works on 64-byte blocks (sequences settled a block at a time,
# anything unusual handed to the byte-wise state machine for a block) and
# UTF-8 is checked a block at a time; elsewhere "best" is the byte-wise code,
# which copies and scans a word (8 bytes) at a time and passes over ASCII 16
# bytes at a time. Block and word edges, runs of sequences and sequences
# longer than a block are where the paths could part from the table.

PATHS = ["best", "bytewise"]
WIDE_FLAGS = {"avx512f", "avx512bw", "avx512vl", "avx512vbmi", "avx512_vbmi2", "bmi1", "bmi2",
              "popcnt"}


def processor_runs_wide_code() -> bool:
    if platform.machine() != "x86_64":
        return False
    with open("/proc/cpuinfo") as info:
        flags = next((line.split(":", 1)[1].split() for line in info if line.startswith("flags")), [])
    return WIDE_FLAGS <= set(flags)


@pytest.mark.parametrize(("path", "wide"), [("best", processor_runs_wide_code()),
                                           ("bytewise", False)])
def test_wide_code_runs_exactly_where_the_processor_has_it(hooks, path, wide):
    # Without this the "best" path could quietly be the byte-wise one on a
    # processor with AVX-512, and every test below would compare it to itself.
    data = ("─" * 40 + "\x1b[0m").encode() * 4  # whole blocks, and UTF-8 to check
    assert hooks.wide_steps(data, path) == (wide, wide)
    assert hooks.wide_paths() == processor_runs_wide_code()


long_inputs = st.lists(st.one_of(tokens, sequence_segment), min_size=10, max_size=300).map(
    b"".join
)


@PROPERTY
@given(long_inputs)
def test_long_input_every_path_matches_reference(hooks, data):
    expected = reference(data)
    for path in PATHS:
        assert hooks.sanitize_on(data, path) == expected, path


LONG_PIECES = [
    b"\x1b[0m",
    b"\x1b[38;5;208m",
    b"\x1b[2@x",  # the first final byte
    b"\x1b[2~x",  # the last one
    b"\x1b[1?\x7f\x80 !/0m",  # bytes around the final range are no final
    b"\x1b[" + b"1;" * 40 + b"m",  # a control sequence longer than half a block
    b"\x1b[" + b"2;" * 70 + b"H",  # and one longer than a block
    b"\x1b[m" * 30,  # a block full of sequences
    b"\x1b[31\x1b[0m",  # an ESC inside a control sequence is a parameter byte
    b"\x1b\x1b[31m",
    b"\x1b]0;title\x07",
    b"\x1bP1$r\x1b\\",
    b"\x1b(B",
    b"\x1b[1\nA",
    b"\r\n\t\x00\x7f",
    b"\xe2\x94\x80\xe2\x97\x82",
    b"\xe2\x94",  # cut short: a replacement character
]


@pytest.mark.parametrize("piece", LONG_PIECES, ids=repr)
def test_piece_at_every_word_and_block_offset(hooks, piece):
    # Twice, with `after` long enough that the second copy, and what follows a
    # block that stopped at the first, still run as whole blocks.
    for before in [*range(0, 17), *range(56, 72), *range(124, 132)]:
        for after in (b"", b"x", b"z" * 9, b"z" * 70, b"z" * 150):
            data = b"a" * before + piece + after + piece + after
            expected = reference(data)
            for path in PATHS:
                assert hooks.sanitize_on(data, path) == expected, (path, before, after)


def test_utf8_check_at_block_edges(hooks):
    # Every sequence of up to three bytes from the values that bound UTF-8's
    # ranges, and four-byte ones across an edge, placed across byte 64 (the
    # end of a block, of a word and of a 16-byte ASCII step), at the very end
    # of the input (also when that is the end of a whole block) and in the
    # tail; the filter keeps these bytes, so the text must be Python's own
    # lenient decoding of them. The check itself is asked too: it must
    # neither pass ill-formed input nor fail well-formed input (which would
    # only cost time, and show nowhere else).
    values = [0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4,
              0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF]
    layouts = {  # length: [(bytes before, bytes after)]
        1: [(0, 0), (63, 5), (63, 0)],
        2: [(0, 0), (62, 5), (63, 5), (62, 0)],
        3: [(0, 0), (61, 5), (62, 5), (63, 5), (61, 0)],
        4: [(62, 5), (60, 0)],
    }
    mismatches = []
    for length, places in layouts.items():
        for combo in itertools.product(values, repeat=length):
            for before, after in places:
                data = b"a" * before + bytes(combo) + b"z" * after
                expected = data.decode("utf-8", "replace")
                well_formed = "\ufffd" not in expected
                if any(hooks.sanitize_on(data, path) != expected
                       or hooks.utf8_valid(data, path) != well_formed for path in PATHS):
                    mismatches.append(data)
    assert not mismatches[:10]
