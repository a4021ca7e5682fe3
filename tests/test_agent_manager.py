"""The session manager's bound and ids, and the per-call limits of a shared
deployment: deadlines lowered to the maximum, long texts cut in the middle."""

from __future__ import annotations

import pytest

from agent_probe import all_children
from quillo_agent import Limits, SessionManager, TooManySessions, UnknownSession
from quillo_agent.limits import CUT_MARKER, clip

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


@pytest.mark.parametrize(
    "asked, given",
    [(None, 10_000), (0, 0), (1_500, 1_500), (50_000, 50_000), (10**12, 50_000)],
)
def test_deadlines_are_capped(asked, given):
    assert Limits().timeout(asked) == given


def test_bad_limits_are_refused():
    with pytest.raises(ValueError, match="max_chars must be at least 1"):
        Limits(max_chars=0)
    with pytest.raises(ValueError, match="must not be negative"):
        Limits().timeout(-1)


@pytest.mark.parametrize("length, limit", [(0, 10), (10, 10), (11, 10), (1000, 7), (5, 1)])
def test_clip_keeps_head_and_tail_and_says_what_it_cut(length, limit):
    text = "".join(chr(ord("a") + i % 26) for i in range(length))
    got, cut = clip(text, limit)
    if length <= limit:
        assert (got, cut) == (text, 0)
        return
    marker = CUT_MARKER.format(cut=length - limit)
    head, tail = got.split(marker)
    assert cut == length - limit and len(head) + len(tail) == limit
    assert text.startswith(head) and text.endswith(tail)
