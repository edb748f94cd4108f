"""When each frame of a board was taken, on the host's clock, as the arrivals of its blocks tell it.

A block reaches Python once its last frame is in, plus a latency that varies: the transfers queued between the
chip and Python, a reading thread that woke late. Latency only ever adds, so the earliest arrivals are the
truest. The clock fits a line through (frames so far, arrival): its slope, the board's frame rate, comes from
a least-squares fit that forgets slowly; its height follows the earliest arrivals at once and rises slowly
towards later ones only when they last, so that a late block or a stall leaves it while frames lost on the board
are followed within seconds. The stamps handed out follow that line without stepping back, and move towards it by
at most SLEW of the frames' own duration.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

# How long the fit of the rate remembers an arrival: after this many seconds it weighs half.
RATE_HALF_LIFE_S = 20.0
# The fitted rate replaces the rate given at the start once the arrivals fitted span this many seconds.
MIN_FIT_S = 1.0
# A given rate that the arrivals of this many seconds contradict by more than this share gives way at once.
QUICK_FIT_S = 0.2
CONTRADICTED = 0.1
# A block later than the line by more than this is left out of the rate's fit.
PUNCTUAL_S = 0.025
# How fast the line rises towards arrivals later than it: by the whole difference over this many seconds,
# a step after each window of RISE_WINDOW_S seconds whose every block came later than the line.
RISE_S = 1.0
RISE_WINDOW_S = 0.25
RISE_TOLERANCE_S = 0.005  # how much earlier than the window before a window may be and still count as no earlier
# The most the stamps' spacing may differ from the fitted frame interval while they catch up with the line:
# a 20 ms correction is spread over a second of frames.
SLEW = 0.02
# Stamps this much earlier than the line jump forward onto it (frames lost on the board, a wrong rate given):
# a gap in the stamps rather than seconds of stamps too early. Stamps later than the line by RESET_S start
# again on it even though that steps back: the board's clock wins over the order.
JUMP_S = 0.05
RESET_S = 0.25


@dataclass(frozen=True)
class Stamps:
    """Frame i of a block is stamped first + i * interval."""
    first: float
    interval: float

    def at(self, i: Any) -> Any:
        """The stamp of frame i, or of each frame of an array of them."""
        return self.first + i * self.interval


class _ForgettingFit:
    """Least squares of y (seconds) on x whose points weigh less by half every `half_life` seconds of y
    (Welford's form: weighted means and co-moments, stable over hours of data)."""

    def __init__(self, half_life: float) -> None:
        self._half_life = half_life
        self.weight = 0.0
        self.x = self.y = 0.0      # the weighted means
        self._cxx = self._cxy = 0.0
        self._last_y: float | None = None

    def add(self, x: float, y: float) -> None:
        if self._last_y is not None:
            fade = 0.5 ** (max(0.0, y - self._last_y) / self._half_life)
            self.weight *= fade
            self._cxx *= fade
            self._cxy *= fade
        self._last_y = y
        self.weight += 1.0
        dx = x - self.x
        self.x += dx / self.weight
        dy = y - self.y
        self.y += dy / self.weight
        self._cxx += dx * (x - self.x)
        self._cxy += dx * (y - self.y)

    def slope(self) -> float | None:
        return self._cxy / self._cxx if self._cxx > 0 else None


class BoardClock:
    """Frame numbers of one board to times on the host's clock, fitted to its blocks' arrivals.

    `observe` each block as it arrives (frames so far, its arrival), then ask for the `stamps` of the blocks in
    the same order, at once or later (once the rate is measured). `rate_hz` is the rate the board is said to
    run at, followed until the arrivals span MIN_FIT_S; without it the rate is the arrivals' from the second
    block on. One thread at a time.
    """

    def __init__(self, rate_hz: float | None = None) -> None:
        self._given = rate_hz
        self._declared = rate_hz is not None
        # Frames are fitted as seconds at about the board's rate, to keep the fit's numbers near one.
        self._scale = rate_hz or 1e6
        self._fit = _ForgettingFit(RATE_HALF_LIFE_S)
        self._origin: tuple[int, float] | None = None  # (frames, arrival) of the first block observed
        self._anchor: tuple[int, float] | None = None  # a frame on the line and its time
        self._last_arrival: float | None = None
        self._last_frames = 0
        self._early = 0.0  # how far arrivals came earlier than the line since the measurement began
        self._window = (0.0, math.inf)  # when the current window began, the least lateness in it
        self._least_before = -math.inf  # the least lateness in the window before
        self._risen = 0.0  # how far the line rose in all, for lasting lateness
        self._next: tuple[int, float] | None = None  # the frame after the last one stamped, and its stamp
        self.jumps = 0

    def assume(self, rate_hz: float) -> None:
        """The rate to follow while the arrivals cannot tell it (fewer than two blocks)."""
        if self._given is None:
            self._given = rate_hz

    @property
    def measured_span(self) -> float:
        """Seconds between the first block's arrival and the last one's."""
        if self._origin is None or self._last_arrival is None:
            return 0.0
        return self._last_arrival - self._origin[1]

    @property
    def fitted_rate_hz(self) -> float | None:
        """The board's frame rate as the arrivals fitted so far tell it (None before two blocks)."""
        slope = self._fit.slope()
        return self._scale / slope if slope is not None and slope > 0 else None

    def _known_rate(self) -> float | None:
        fitted = self.fitted_rate_hz
        if fitted is None or self._given is None:
            return fitted or self._given
        span = self.measured_span
        if span >= MIN_FIT_S or (span >= QUICK_FIT_S and abs(fitted / self._given - 1) > CONTRADICTED):
            return fitted
        return self._given

    @property
    def rate_hz(self) -> float:
        """The frame rate the stamps follow: the fitted one, or the given one until the fit spans enough."""
        rate = self._known_rate()
        if rate is None:
            raise ValueError("the board's frame rate is not known yet: it takes the arrivals of two blocks")
        return rate

    def taken_at(self, frame: float) -> float:
        """When frame `frame` of the stream was taken, as the earliest arrivals tell it."""
        assert self._anchor is not None
        return self._anchor[1] + (frame - self._anchor[0]) / self.rate_hz

    def observe(self, frames_so_far: int, arrival: float) -> None:
        """A block whose last frame is frame `frames_so_far` - 1 of the stream arrived at `arrival` (s)."""
        if self._origin is None:
            self._origin = self._anchor = (frames_so_far, arrival)
            self._window = (arrival, math.inf)
        assert self._origin is not None and self._anchor is not None
        following_given = self._known_rate() == self._given
        late = arrival - self.taken_at(frames_so_far) if self._known_rate() else 0.0
        if self._draining(frames_so_far, arrival, late):
            # A backlog drains (blocks queued behind the first, while an outlet was made): everything fitted so
            # far came late. The measurement begins again here.
            self._fit = _ForgettingFit(RATE_HALF_LIFE_S)
            self._origin, self._early = (frames_so_far, arrival), 0.0
        self._last_arrival, self._last_frames = arrival, frames_so_far
        # The rate is fitted to the punctual blocks only: a stall and the burst behind it would tilt it. Before
        # the arrivals span enough, only a declared rate tells which are late (the blocks queued behind an outlet
        # being made at the first block would make a board seem several times faster than it is).
        if late <= PUNCTUAL_S or (self.measured_span < MIN_FIT_S and not self._declared):
            # Less what the line rose: frames lost on the board are a step, not a slower board.
            self._fit.add((frames_so_far - self._origin[0]) / self._scale, arrival - self._origin[1] - self._risen)
        # The line goes through the present, so that a new rate turns it about now rather than the past.
        self._anchor = (frames_so_far, arrival if late <= 0 else arrival - late)
        if following_given and self._known_rate() != self._given:
            self._anchor = (frames_so_far, arrival)  # the rate given was wrong, and so was the line it drew
        self._rise(late, arrival)

    def _draining(self, frames_so_far: int, arrival: float, late: float) -> bool:
        # Only a declared rate tells, before the fit does, that blocks came faster than the board makes them.
        if not self._declared or late >= 0 or self.measured_span >= MIN_FIT_S or self._last_arrival is None:
            return False
        self._early -= late
        quick = arrival - self._last_arrival < 0.5 * (frames_so_far - self._last_frames) / self._given
        return quick and self._early > RISE_TOLERANCE_S

    def _rise(self, late: float, arrival: float) -> None:
        # Only a window in which every block came later than the line raises it, and only when the window
        # before was no earlier: lost frames (every block late by as much from then on) do, a stall and the
        # burst of blocks queued behind it (later and later, then earlier and earlier) do not.
        began, least = self._window
        least = min(least, late)
        if arrival - began >= RISE_WINDOW_S:
            if self._least_before > 0 and least > 0 and least >= self._least_before - RISE_TOLERANCE_S:
                frames, at = self._anchor
                step = min(least, self._least_before) * RISE_WINDOW_S / RISE_S
                self._anchor = (frames, at + step)
                if least > PUNCTUAL_S:  # a step the fit was not shown: it must not see it later either
                    self._risen += step
                least -= step  # as late as that, against the risen line
            self._least_before = least
            began, least = arrival, math.inf
        self._window = (began, least)

    def stamps(self, first_frame: int, count: int) -> Stamps:
        """Stamps for frames first_frame .. first_frame + count - 1, following on from the last ones given."""
        interval = 1.0 / self.rate_hz
        line = self.taken_at(first_frame)
        behind = line - self._next[1] if self._next is not None and self._next[0] == first_frame else None
        if behind is not None and -RESET_S <= behind <= JUMP_S:
            start = self._next[1]
            wanted = (self.taken_at(first_frame + count) - start) / count if count else interval
            spacing = min(max(wanted, interval * (1 - SLEW)), interval * (1 + SLEW))
        else:
            if behind is not None:
                self.jumps += 1
            start, spacing = line, interval
        self._next = (first_frame + count, start + count * spacing)
        return Stamps(start, spacing)
