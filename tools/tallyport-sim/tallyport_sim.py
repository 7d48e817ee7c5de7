#!/usr/bin/python3
"""Tallyport server simulator: HTTPS REST and event WebSocket plus a control port.

Run with Debian's interpreter (/usr/bin/python3), which has python3-aiohttp.
The process listens on loopback only, and ends by itself: on SIGTERM or
SIGINT, on the control call "/shutdown", after --max-lifetime seconds, and,
with --exit-on-stdin-eof, when its standard input closes. See README.md.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import logging
import os
import signal
import sys
import threading
import time
from pathlib import Path
from typing import Optional

sys.path.insert(0, str(Path(__file__).resolve().parent))

from simcore.certs import ensure_certs  # noqa: E402
from simcore.control import Control  # noqa: E402
from simcore.scenario import ScenarioError, ScenarioRunner  # noqa: E402
from simcore.server import HOST, Config, TallyportServer  # noqa: E402

log = logging.getLogger("tallyport-sim")


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    defaults = Config()
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=30001,
                        help="HTTPS and WebSocket port on 127.0.0.1 (0: pick a free one)")
    parser.add_argument("--control-port", type=int, default=30002,
                        help="plain-HTTP control port on 127.0.0.1 (0: pick a free one)")
    parser.add_argument("--state-dir", type=Path, required=True,
                        help="where certificates and keys are kept (created if missing)")
    parser.add_argument("--client-id", default=defaults.client_id)
    parser.add_argument("--client-secret", default=defaults.client_secret)
    parser.add_argument("--expires-in", type=int, default=defaults.expires_in,
                        help="token lifetime in seconds, sent as \"expires_in\"")
    parser.add_argument("--batch-size", type=int, default=defaults.batch_size)
    parser.add_argument("--heartbeat-interval-ms", type=int, default=0)
    parser.add_argument("--ready-file", type=Path,
                        help="JSON file written atomically once both ports listen")
    parser.add_argument("--max-lifetime", type=float, default=3600.0,
                        help="seconds after which the process exits by itself")
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    parser.add_argument("--scenario", type=Path, help="timed script of control actions")
    parser.add_argument("--quiet", action="store_true", help="log warnings only")
    parser.add_argument("--verbose", action="store_true", help="also log every request")
    return parser.parse_args(argv)


def write_ready_file(path: Path, info: dict) -> None:
    """Write to a temporary name and rename, so a reader never sees half a file."""
    tmp = path.with_name(path.name + f".tmp{os.getpid()}")
    tmp.write_text(json.dumps(info, indent=2))
    os.replace(tmp, path)


def watch_stdin(loop: asyncio.AbstractEventLoop, stop: asyncio.Event) -> None:
    """Set `stop` when standard input reaches end-of-file (a thread: stdin may be a file)."""
    def reader() -> None:
        try:
            while sys.stdin.buffer.read1(4096):
                pass
        except (OSError, ValueError):
            pass
        loop.call_soon_threadsafe(stop.set)
    threading.Thread(target=reader, name="stdin-watch", daemon=True).start()


async def serve(args: argparse.Namespace) -> int:
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    if args.exit_on_stdin_eof:
        watch_stdin(loop, stop)

    certs = ensure_certs(args.state_dir)
    defaults = Config(client_id=args.client_id, client_secret=args.client_secret,
                      expires_in=args.expires_in, batch_size=args.batch_size,
                      heartbeat_interval_ms=args.heartbeat_interval_ms)
    server = TallyportServer(defaults, certs, args.port)
    control = Control(server, stop)
    scenario_task = None
    try:
        if args.scenario:
            control.scenario = ScenarioRunner.from_file(control, args.scenario)
            await control.scenario.prepare()
        await server.start()
        await control.start(args.control_port)
        if control.scenario:
            scenario_task = asyncio.create_task(control.scenario.run())
        if args.ready_file:
            write_ready_file(args.ready_file, ready_info(args, server, control))
        log.info("ready (pid %d)", os.getpid())
        try:
            await asyncio.wait_for(stop.wait(), args.max_lifetime)
        except asyncio.TimeoutError:
            log.warning("maximum lifetime of %.0f s reached, exiting", args.max_lifetime)
    finally:
        if scenario_task:
            scenario_task.cancel()
        await control.close()
        await server.stop()
        if args.ready_file:
            args.ready_file.unlink(missing_ok=True)
    log.info("stopped")
    return 0


def ready_info(args: argparse.Namespace, server: TallyportServer, control: Control) -> dict:
    primary, alternate = server.certs["primary"], server.certs["alternate"]
    return {
        "pid": os.getpid(),
        "host": HOST,
        "port": server.port,
        "control_port": control.port,
        "base_url": f"https://{HOST}:{server.port}",
        "control_url": f"http://{HOST}:{control.port}",
        "cert_sha1": primary.sha1,
        "alt_cert_sha1": alternate.sha1,
        "cert_der": str(primary.cert_der),
        "alt_cert_der": str(alternate.cert_der),
        "cert_pem": str(primary.cert_pem),
        "alt_cert_pem": str(alternate.cert_pem),
        "client_id": server.config.client_id,
        "client_secret": server.config.client_secret,
        "expires_in": server.config.expires_in,
        "state_dir": str(args.state_dir),
        "started_at": time.time(),
    }


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    level = logging.WARNING if args.quiet else logging.DEBUG if args.verbose else logging.INFO
    logging.basicConfig(level=level,
                        format="%(asctime)s tallyport-sim %(levelname)s %(message)s",
                        stream=sys.stderr)
    logging.getLogger("aiohttp").setLevel(logging.ERROR)
    try:
        return asyncio.run(serve(args))
    except ScenarioError as exc:
        log.error("%s", exc)
        return 2
    except OSError as exc:
        log.error("cannot start: %s", exc)
        return 1


if __name__ == "__main__":
    sys.exit(main())
