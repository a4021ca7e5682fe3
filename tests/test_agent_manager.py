"""The session manager's bounds, ids and owners, and the per-call limits of a
shared deployment: deadlines lowered to the maximum, long texts cut in the
middle."""

from __future__ import annotations

import pytest

from agent_probe import all_children
from quillo_agent import Limits, SessionManager, TooManySessions, UnknownSession
from quillo_agent.clipped_text import CUT_MARKER, ClippedText

pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")


def test_manager_bounds_live_sessions_and_closes_them_all():
    with SessionManager(max_sessions=2) as m:
        a, _ = m.open(["cat"], markers=[])
        b, _ = m.open(["cat"], markers=[])
        with pytest.raises(TooManySessions, match="2 sessions are live"):
            m.open(["cat"], markers=[])
        m.close(a)
        c, _ = m.open(["cat"], markers=[])
        assert [sid for sid, _ in m.items()] == [b, c] and len({a, b, c}) == 3  # ids never reused
        with pytest.raises(UnknownSession, match=f"unknown session '{a}'"):
            m.get(a)
        assert len(all_children()) == 2
    assert all_children() == set()
    assert m.items() == []


def test_a_failed_open_does_not_use_up_the_bound():
    with SessionManager(max_sessions=1) as m:
        for _ in range(3):
            with pytest.raises(Exception, match="not found on PATH"):
                m.open(["no-such-program-qa"])
        sid, session = m.open(["cat"], markers=[])
        assert session.is_alive()


def test_a_session_exists_only_for_its_owner_and_each_owner_has_a_bound():
    with SessionManager(max_sessions=3, max_sessions_per_owner=2) as m:
        a1, session = m.open(["cat"], owner="A", markers=[])
        a2, _ = m.open(["cat"], owner="A", markers=[])
        with pytest.raises(TooManySessions, match="2 sessions of this client are live"):
            m.open(["cat"], owner="A", markers=[])
        b1, _ = m.open(["cat"], owner="B", markers=[])
        with pytest.raises(TooManySessions, match="3 sessions are live"):
            m.open(["cat"], owner="B", markers=[])

        # Another owner's session looks like one that never was; only the
        # caller's own ids are named.
        for owner, known in (("B", b1), (None, "none")):
            with pytest.raises(UnknownSession) as seen:
                m.get(a1, owner)
            assert str(seen.value) == f"unknown session '{a1}' (live sessions: {known})"
            with pytest.raises(UnknownSession):
                m.close(a1, owner)
        assert session.is_alive()
        assert [sid for sid, _ in m.items("A")] == [a1, a2]
        assert [sid for sid, _ in m.items("B")] == [b1] and m.items() == []

        assert m.close_owner("A") == 2
        assert len(all_children()) == 1 and session.closed
        assert m.close_owner("A") == 0
        assert m.get(b1, "B").is_alive()
    assert all_children() == set()


@pytest.mark.parametrize(
    "asked, given",
    [(None, 10_000), (0, 0), (1_500, 1_500), (50_000, 50_000), (10**12, 50_000)],
)
def test_deadlines_are_capped(asked, given):
    assert Limits().timeout(asked) == given


@pytest.mark.parametrize(
    "name",
    ["max_sessions", "max_sessions_per_client", "max_clients", "default_timeout_ms",
     "max_timeout_ms", "max_chars"],
)
def test_bad_limits_are_refused(name):
    with pytest.raises(ValueError, match=f"{name} must be at least 1"):
        Limits(**{name: 0})
    with pytest.raises(ValueError, match="must not be negative"):
        Limits().timeout(-1)


@pytest.mark.parametrize("length, limit", [(0, 10), (10, 10), (11, 10), (1000, 7), (5, 1)])
@pytest.mark.parametrize("piece", [1, 3, 10_000])
def test_clipped_text_keeps_head_and_tail_and_says_what_it_cut(length, limit, piece):
    # However the text arrives in pieces, the result is the same: all of it,
    # or the first limit//2 and last characters around the marker.
    text = "".join(chr(ord("a") + i % 26) for i in range(length))
    kept = ClippedText(limit)
    for i in range(0, length, piece):
        kept.add(text[i : i + piece])
    got, cut = kept.value(), kept.cut
    assert kept.suffix(4) == text[-4:] and kept.endswith([text[-2:] or "x"]) == bool(text)
    if length <= limit:
        assert (got, cut) == (text, 0)
        return
    marker = CUT_MARKER.format(cut=length - limit)
    head, tail = got.split(marker)
    assert cut == length - limit and len(head) + len(tail) == limit
    assert len(head) == limit // 2 and text.startswith(head) and text.endswith(tail)
