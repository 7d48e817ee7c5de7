"""Timed scripts of control actions, for the demo and for long-running checks.

A scenario file is either a list of steps or an object:

    {"site": {...}, "config": {...}, "start": "now" | "first_client" | "control",
     "steps": [{"at_ms": 1000, "action": "connect_handheld", "id": 101}, ...]}

Each step names an action of the control interface; its other members are
that action's arguments. "at_ms" counts from the start of the scenario.
"""

from __future__ import annotations

import asyncio
import json
import logging
import time
from pathlib import Path
from typing import Any, Optional

from .control import ACTIONS, Control
from .state import ControlError

log = logging.getLogger("tallyport-sim")

START_MODES = ("now", "first_client", "control")


class ScenarioError(Exception):
    pass


class ScenarioRunner:
    """Runs the steps of one scenario at their times, recording what happened."""

    def __init__(self, ctl: Control, doc: Any):
        if isinstance(doc, list):
            doc = {"steps": doc}
        if not isinstance(doc, dict):
            raise ScenarioError("a scenario is a list of steps or an object with \"steps\"")
        self.ctl = ctl
        self.site: Optional[dict] = doc.get("site")
        self.config: dict = doc.get("config", {})
        self.start_mode: str = doc.get("start", "now")
        self.name: str = doc.get("name", "scenario")
        self.steps = sorted(_checked_steps(doc.get("steps", [])), key=lambda s: s["at_ms"])
        if self.start_mode not in START_MODES:
            raise ScenarioError(f'"start" must be one of {", ".join(START_MODES)}')
        self._trigger = asyncio.Event()
        self.started_at: Optional[float] = None
        self.done = 0
        self.finished = False
        self.errors: list[dict] = []

    @staticmethod
    def from_file(ctl: Control, path: Path) -> "ScenarioRunner":
        try:
            doc = json.loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError) as exc:
            raise ScenarioError(f"cannot read scenario {path}: {exc}") from exc
        return ScenarioRunner(ctl, doc)

    async def prepare(self) -> None:
        """Load the scenario's site and settings before any client connects."""
        try:
            if self.site is not None:
                await self.ctl.run_action("load_site", dict(self.site))
            if self.config:
                await self.ctl.run_action("config", dict(self.config))
        except ControlError as exc:
            raise ScenarioError(f"scenario {self.name}: {exc}") from exc

    def trigger(self) -> None:
        self._trigger.set()

    async def run(self) -> None:
        await self._wait_for_start()
        self.started_at = time.monotonic()
        log.info("scenario %s: started (%d steps)", self.name, len(self.steps))
        for step in self.steps:
            delay = self.started_at + step["at_ms"] / 1000 - time.monotonic()
            if delay > 0:
                await asyncio.sleep(delay)
            await self._run_step(step)
            self.done += 1
        self.finished = True
        log.info("scenario %s: finished, %d errors", self.name, len(self.errors))

    async def _wait_for_start(self) -> None:
        if self.start_mode == "first_client":
            srv = self.ctl.server
            while not await srv.wait_until(lambda: bool(srv.ws_clients), 3600):
                pass
        elif self.start_mode == "control":
            await self._trigger.wait()

    async def _run_step(self, step: dict) -> None:
        args = {k: v for k, v in step.items() if k not in ("at_ms", "action")}
        try:
            await self.ctl.run_action(step["action"], args)
        except (ControlError, ValueError, TypeError, KeyError) as exc:
            # One bad step must not end the script: report it and go on.
            at, name = step["at_ms"], step["action"]
            log.warning("scenario step at %d ms (%s) failed: %s", at, name, exc)
            self.errors.append({"at_ms": at, "action": name, "error": str(exc)})

    def status(self) -> dict:
        elapsed = None if self.started_at is None else time.monotonic() - self.started_at
        return {"loaded": True, "name": self.name, "start": self.start_mode,
                "started": self.started_at is not None, "elapsed_s": elapsed,
                "steps_total": len(self.steps), "steps_done": self.done,
                "finished": self.finished, "errors": self.errors}


def _checked_steps(steps: Any) -> list[dict]:
    """Reject unknown actions and missing times before anything runs."""
    if not isinstance(steps, list):
        raise ScenarioError('"steps" must be a list')
    for index, step in enumerate(steps):
        if not isinstance(step, dict) or not isinstance(step.get("at_ms"), int):
            raise ScenarioError(f"step {index} needs an integer \"at_ms\"")
        if step.get("action") not in ACTIONS:
            raise ScenarioError(f"step {index}: unknown action {step.get('action')!r}")
    return steps
