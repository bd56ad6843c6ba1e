"""A one-line count of finished slides and tasks on standard error, for
commands that work through many slides; shown on a terminal only."""

from __future__ import annotations

import time
from typing import TextIO

# The shortest time between two redraws of the line, in seconds.
_REDRAW = 0.1


class Progress:
    """`program`: the prefix of the line; `slides`: how many there are."""

    def __init__(self, program: str, slides: int, stream: TextIO) -> None:
        self.program, self.slides, self.stream = program, slides, stream
        self.slides_done = self.tasks_done = 0
        self.shown = 0.0
        self.active = stream.isatty()

    def task_done(self) -> None:
        self.tasks_done += 1
        self._show()

    def slide_done(self) -> None:
        self.slides_done += 1
        self._show(force=True)

    def _show(self, force: bool = False) -> None:
        now = time.monotonic()
        if self.active and (force or now - self.shown > _REDRAW):
            self.shown = now
            self.stream.write(f"\r{self.program}: {self.slides_done}/{self.slides} slides done, "
                              f"{self.tasks_done} tasks")
            self.stream.flush()

    def clear(self) -> None:
        if self.active and self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

    def say(self, text: str, stream: TextIO) -> None:
        """Prints a line of its own (on `stream`) above the count."""
        self.clear()
        print(text, file=stream, flush=True)
        self.shown = 0.0
        self._show(force=True)
