"""The history ring: retains exactly the newest `limit` bytes, bounded capacity.

The model is the whole point of the ring: after any sequence of appends it
holds the last `limit` bytes of everything appended, oldest first. Chunk
contents come from a running counter modulo a prime, so every retained byte
identifies its position in the stream and a rotation, a lost wrap or a stale
byte cannot go unseen (random bytes would shrink to runs of zeros).
"""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


def stream_chunks(sizes: list[int]) -> list[bytes]:
    """Chunks of the given sizes cut from one stream 0, 1, ..., 250, 0, 1, ..."""
    stream = bytes(range(251)) * (sum(sizes) // 251 + 1)
    chunks, pos = [], 0
    for n in sizes:
        chunks.append(stream[pos:pos + n])
        pos += n
    return chunks


def model(limit: int, chunks: list[bytes]) -> bytes:
    everything = b"".join(chunks)
    return everything[len(everything) - limit:] if limit < len(everything) else everything


def capacity_bound(room: int, limit: int) -> int:
    """The smallest room * 2**k (k >= 0) that holds `limit` bytes."""
    cap = room
    while cap < limit:
        cap *= 2
    return cap


@pytest.mark.parametrize(
    ("room", "limit", "sizes"),
    [
        pytest.param(8, 8, [], id="nothing-appended"),
        pytest.param(8, 8, [0, 0], id="empty-chunks"),
        pytest.param(8, 0, [3, 20], id="limit-zero-keeps-nothing"),
        pytest.param(0, 5, [3, 4], id="no-initial-room"),
        pytest.param(8, 8, [8], id="one-chunk-exactly-the-limit"),
        pytest.param(8, 8, [5, 3, 3, 5, 8, 1], id="exact-fit-wraparound"),
        pytest.param(8, 8, [3, 5, 5, 3, 3, 5], id="tail-lands-on-buffer-end"),
        pytest.param(8, 8, [7, 1, 1, 7], id="head-at-last-slot"),
        pytest.param(8, 8, [20], id="first-chunk-over-limit"),
        pytest.param(8, 8, [5, 20, 2], id="chunk-over-limit-after-content"),
        pytest.param(8, 8, [5, 8, 3], id="chunk-equal-limit-after-content"),
        pytest.param(64, 10, [7, 7, 7], id="limit-below-room"),
        pytest.param(4, 100, [3, 3, 3, 50, 60], id="growth-with-wrapped-content"),
        pytest.param(1, 37, [5, 9, 13, 40, 1], id="growth-from-one"),
        pytest.param(16, 100, [90, 20, 95, 6], id="growth-then-trim"),
    ],
)
def test_retains_newest_bytes(hooks, room, limit, sizes):
    chunks = stream_chunks(sizes)
    retained, capacity = hooks.ring(room, limit, chunks)
    assert retained == model(limit, chunks)
    if room > 0:
        assert capacity <= capacity_bound(room, limit)


RING = settings(max_examples=300, deadline=None)


@RING
@given(
    room=st.integers(0, 40),
    limit=st.integers(0, 120),
    sizes=st.lists(st.integers(0, 300), max_size=30),
)
def test_matches_model(hooks, room, limit, sizes):
    chunks = stream_chunks(sizes)
    retained, capacity = hooks.ring(room, limit, chunks)
    assert retained == model(limit, chunks)
    assert capacity >= len(retained)


@RING
@given(
    room=st.integers(1, 40),
    limit=st.integers(0, 120),
    sizes=st.lists(st.integers(0, 300), max_size=30),
)
def test_capacity_stays_within_bound(hooks, room, limit, sizes):
    _, capacity = hooks.ring(room, limit, stream_chunks(sizes))
    assert capacity <= capacity_bound(room, limit)


@pytest.mark.parametrize(
    ("room", "limit", "chunk", "count"),
    [
        pytest.param(16, 100, 7, 5_000, id="small-chunks"),
        pytest.param(16, 100, 99, 500, id="chunks-just-below-limit"),
        pytest.param(16, 100, 101, 500, id="chunks-just-above-limit"),
        pytest.param(128, 100, 33, 1_000, id="limit-below-room"),
    ],
)
def test_long_feed_does_not_grow_without_bound(hooks, room, limit, chunk, count):
    chunks = stream_chunks([chunk] * count)
    retained, capacity = hooks.ring(room, limit, chunks)
    assert retained == model(limit, chunks)
    assert capacity <= capacity_bound(room, limit)


# The session's own configuration: 65,536 bytes of initial room, a 4 MiB cap.
SESSION_ROOM, SESSION_LIMIT = 65_536, 4_194_304


@pytest.mark.parametrize(
    "sizes",
    [
        pytest.param([8_192] * 610 + [2_880], id="5M-in-reads-of-8192"),
        pytest.param([5_000_000], id="one-read-over-the-cap"),
        pytest.param([SESSION_LIMIT - 1, 2, SESSION_LIMIT - 1], id="around-the-cap"),
    ],
)
def test_session_sized_history(hooks, sizes):
    chunks = stream_chunks(sizes)
    retained, capacity = hooks.ring(SESSION_ROOM, SESSION_LIMIT, chunks)
    assert len(retained) == SESSION_LIMIT
    assert retained == model(SESSION_LIMIT, chunks)
    # It must hold the full cap, and 65,536 * 64 is exactly the cap: no slack.
    assert capacity == capacity_bound(SESSION_ROOM, SESSION_LIMIT) == SESSION_LIMIT
