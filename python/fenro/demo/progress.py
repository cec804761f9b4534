"""The progress bar of a demo run, on stderr so that stdout holds only the results."""

from __future__ import annotations

import sys
from typing import Any, Optional


class Progress:
    """Counts simulated rounds: a tqdm bar when tqdm is installed, else a one-line counter;
    silent when disabled."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.done, self.enabled = total, 0, enabled
        self.bar: Optional[Any] = None
        self.label = ""
        if not enabled:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.bar = tqdm(total=total, unit="round", file=sys.stderr, leave=False,
                        dynamic_ncols=True)

    def describe(self, text: str) -> None:
        """Sets the label shown beside the count."""
        if self.bar is not None:
            self.bar.set_description(text, refresh=False)
        self.label = text

    def tick(self) -> None:
        """Counts one finished round."""
        self.done += 1
        if self.bar is not None:
            self.bar.update(1)
        elif self.enabled:
            width = 30
            filled = width * self.done // self.total
            sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] "
                             f"{self.done}/{self.total} {self.label:<28}")
            sys.stderr.flush()

    def close(self) -> None:
        """Removes the bar, or ends the counter's line."""
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            sys.stderr.write("\n")
