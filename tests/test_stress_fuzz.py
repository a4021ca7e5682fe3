"""Fuzzing. The sanitizer runs under a coverage-guided fuzzer (libFuzzer,
with AddressSanitizer and UndefinedBehaviorSanitizer) in the long run and
under a generated-input driver in the default run; tests/fuzz/ holds the
target and its invariants. The argument conversions of every method get
random Python objects, hostile ones included: no crash, and only the
exceptions the binding documents."""

from __future__ import annotations

import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillo
from test_sanitize import EDGE_CASES, MORE_CASES

ROOT = Path(__file__).resolve().parent.parent
FUZZ = Path(__file__).resolve().parent / "fuzz"
TARGET = [FUZZ / "sanitize_fuzzer.cpp", ROOT / "src" / "text" / "sanitize.cpp"]
FLAGS = ["-std=c++2b", "-O1", "-g", "-fno-omit-frame-pointer", f"-I{ROOT}"]
SANITIZERS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]


def seed_corpus(where: Path) -> Path:
    where.mkdir(parents=True, exist_ok=True)
    for n, case in enumerate(EDGE_CASES + MORE_CASES):
        (where / f"seed{n}").write_bytes(case.values[0])
    return where


def compiler_with_asan(cxx: str) -> bool:
    probe = subprocess.run([cxx, "-print-file-name=libasan.so"], capture_output=True, text=True)
    return probe.returncode == 0 and os.path.isabs(probe.stdout.strip())


def test_sanitizer_invariants_on_generated_inputs(tmp_path):
    """The fuzz target's invariants over the seed corpus and 200,000 generated
    inputs, built with the sanitizers where the compiler has them."""
    cxx = shutil.which("c++") or shutil.which("g++")
    assert cxx, "a C++ compiler is needed"
    exe = tmp_path / "sanitize_driver"
    flags = FLAGS + (SANITIZERS if compiler_with_asan(cxx) else [])
    subprocess.run([cxx, *flags, *map(str, TARGET), str(FUZZ / "standalone_main.cpp"), "-o", str(exe)], check=True)
    corpus = seed_corpus(tmp_path / "corpus")
    run = subprocess.run(
        [str(exe), *map(str, sorted(corpus.iterdir())), "-runs=200000", "-seed=7"],
        capture_output=True, text=True, timeout=300,
    )
    assert run.returncode == 0, run.stderr[-3000:]
    assert "ran 200000 generated inputs" in run.stdout


@pytest.mark.long
def test_sanitizer_under_libfuzzer(tmp_path):
    """Coverage-guided fuzzing for QUILLO_FUZZ_SECONDS (300 by default)."""
    clang = shutil.which("clang++")
    if clang is None:
        if os.environ.get("QUILLO_REQUIRE_FUZZER"):
            pytest.fail("clang++ with libFuzzer is required (scripts/stress.sh installs it)")
        pytest.skip("clang++ is not installed")
    exe = tmp_path / "sanitize_fuzzer"
    subprocess.run(
        [clang, *FLAGS, "-fsanitize=fuzzer," + SANITIZERS[0].split("=")[1], SANITIZERS[1], *map(str, TARGET), "-o", str(exe)],
        check=True,
    )
    corpus = seed_corpus(tmp_path / "corpus")
    seconds = int(os.environ.get("QUILLO_FUZZ_SECONDS", "300"))
    run = subprocess.run(
        [str(exe), f"-max_total_time={seconds}", "-timeout=10", "-rss_limit_mb=2048", "-max_len=65536",
         f"-artifact_prefix={tmp_path}/", str(corpus)],
        capture_output=True, text=True, timeout=seconds + 600, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stderr[-5000:]
    assert "Done" in run.stderr
    assert list(tmp_path.glob("crash-*")) + list(tmp_path.glob("leak-*")) + list(tmp_path.glob("timeout-*")) == []


# ---------------------------------------------------------------- argument conversions

class Boom(Exception):
    """Raised by the hostile objects below; must come back unchanged."""


class BadIndex:
    def __index__(self):
        raise Boom("index")


class StrIndex:
    def __index__(self):
        return "7"


class HugeIndex:
    def __index__(self):
        return 2**70


class BadLen(list):
    def __len__(self):
        raise Boom("len")


class BadIter:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise Boom("item")


class StrSub(str):
    pass


class IntSub(int):
    pass


class BoolLike:
    def __bool__(self):
        raise Boom("bool")


def _reentrant(call):
    class Reentrant:
        """Calls back into the session while its own call converts arguments."""

        def __index__(self):
            call()
            return 1

    return Reentrant()


def atoms(session):
    import numpy as np

    return st.one_of(
        st.none(),
        st.booleans(),
        st.integers(min_value=-(2**80), max_value=2**80),
        st.integers(min_value=0, max_value=5000),
        st.floats(allow_nan=True, allow_infinity=True),
        st.text(max_size=30),
        st.text(alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=3),
        st.binary(max_size=30),
        st.sampled_from(
            [
                BadIndex(), StrIndex(), HugeIndex(), BadLen(["a"]), BadIter(), StrSub("m"), IntSub(5),
                BoolLike(), object(), bytearray(b"x"), memoryview(b"y"), range(3), iter(["a"]),
                {"a": 1}, {"a"}, frozenset({"b"}), math.nan, 1j, np.bool_(True), np.bool_(False),
                np.int64(7), np.uint8(3), np.float64(2.0), np.array(["a", "b"]), type,
                _reentrant(session.get_history), _reentrant(session.close),
                _reentrant(lambda: session.read_available(1)),
            ]
        ),
    )


def objects(session):
    return st.recursive(atoms(session), lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner), max_leaves=8)


ALLOWED_RUNTIME = ("Already borrowed", "Already mutably borrowed", "write failed: ", "flush failed: ")


def check_outcome(call):
    try:
        call()
    except (TypeError, OverflowError, UnicodeEncodeError, Boom):
        pass
    except RuntimeError as e:
        assert str(e).startswith(ALLOWED_RUNTIME), repr(e)
    except BaseException as e:
        if type(e) is Exception and str(e).startswith("Failed to spawn process with command '"):
            return
        raise AssertionError(f"unexpected {type(e).__name__}: {e}") from e


METHODS = {
    # method: (number of parameters, session kind)
    "set_ready_markers": (1, "live"),
    "read_available": (1, "live"),
    "read_until_ready": (4, "ended"),
    "send_and_read_until_ready": (5, "ended"),
    "is_alive": (0, "live"),
    "close": (0, "ended"),
}
PARAMS = {
    "set_ready_markers": ["ready_markers"],
    "read_available": ["max_bytes"],
    "read_until_ready": ["timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"],
    "send_and_read_until_ready": ["input", "timeout_ms", "max_output_bytes", "settle_ms", "quiet_ms"],
    "is_alive": [],
    "close": [],
}


def fuzz_arguments(max_examples: int):
    live = quillo.Quillo("cat", True)
    ended = quillo.Quillo("true", True)
    while ended.read_until_ready(timeout_ms=10_000):
        pass  # drained and disconnected: every wait on it returns at once
    sessions = {"live": live, "ended": ended}

    @settings(max_examples=max_examples, deadline=None, suppress_health_check=list(HealthCheck))
    @given(data=st.data())
    def run(data):
        kind = data.draw(st.sampled_from(["constructor", *METHODS]))
        session = sessions["ended" if kind == "constructor" else METHODS[kind][1]]
        values = data.draw(st.lists(objects(session), max_size=6))
        if kind == "constructor":
            names = ["command", "interactive", "ready_markers"]
            # Never run a program by accident: any text that may land in
            # `command` (by position or keyword) names a missing file.
            values = ["/nonexistent-quillo-fuzz/" + v if isinstance(v, str) else v for v in values]
        else:
            names = PARAMS[kind]
        # Some arguments go by keyword, some positionally; a stray keyword now and then.
        split = data.draw(st.integers(min_value=0, max_value=len(values)))
        args = values[:split]
        kwargs = {}
        for i, value in enumerate(values[split:], start=split):
            key = names[i] if i < len(names) and data.draw(st.booleans()) else data.draw(st.sampled_from(names + ["size"]))
            kwargs[key] = value
        if kind == "constructor":
            check_outcome(lambda: quillo.Quillo(*args, **kwargs))
        else:
            check_outcome(lambda: getattr(session, kind)(*args, **kwargs))
        live_now = sessions["live"]
        if not live_now.is_alive():  # a re-entrant close ended it: start another
            sessions["live"] = quillo.Quillo("cat", True)

    try:
        run()
        # Still fully usable afterwards.
        q = quillo.Quillo("cat", True, ["fine\n"])
        assert q.send_and_read_until_ready("fine", settle_ms=0, timeout_ms=10_000) == "fine\n"
        q.close()
    finally:
        for q in sessions.values():
            q.close()


@pytest.mark.parametrize(
    "examples", [pytest.param(400, id="fast"), pytest.param(30_000, id="long", marks=pytest.mark.long)]
)
def test_argument_conversions_with_random_objects(examples):
    fuzz_arguments(examples)


class Overstated:
    """A sequence of two markers whose len() claims far more."""

    def __init__(self, claimed):
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        if i < 2:
            return ["a> ", "b> "][i]
        raise IndexError(i)


@pytest.mark.parametrize("claimed", [10**9, 2**62], ids=["1e9", "2^62"])
@pytest.mark.parametrize("where", ["constructor", "set_ready_markers"])
def test_sequence_whose_len_overstates_its_items(claimed, where):
    if where == "constructor":
        q = quillo.Quillo("cat", True, Overstated(claimed))
    else:
        q = quillo.Quillo("cat", True)
        try:
            q.set_ready_markers(Overstated(claimed))
        except BaseException:
            q.close()
            raise
    out = q.send_and_read_until_ready("b> ", timeout_ms=10_000)
    q.close()
    assert out == "b> \n"
