"""Self-tests of the Tallyport server simulator, over real TLS on loopback."""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import json
import os
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import warnings
from pathlib import Path
from unittest import mock

import aiohttp

from simharness import (CLIENT, SIM_DIR, RawHttp, RawWebSocket, SimTestCase, insecure_context,
                        seed_certs, start_sim, stop_sim)
from simcore import wsframes
from simcore.state import FILLER_PREFIX, Tokens, filler_chunks, parse_external_id, parse_ids

SITE = {
    "doors": [{"id": 1, "name": "Gate 1", "external_id": "D1",
               "external_entry_reader_id": 11, "external_exit_reader_id": 12},
              {"id": 2, "name": "Gate 2", "external_id": "D2"}],
    "handhelds": [{"id": 101, "name": "HH A", "guid": "guid-a", "external_id": "HA", "door_id": 1},
                  {"id": 102, "name": "HH B", "guid": "guid-b", "external_id": "HB", "door_id": 2}],
    "readers": {"1": [{"id": 11, "external_id": "1:1", "name": "In", "guid": "guid-a", "door_id": 1},
                      {"id": 12, "external_id": "1:2", "name": "Out", "guid": "", "door_id": 1}],
                "2": [{"id": 21, "external_id": "2:1", "name": "Yard", "guid": "guid-b", "door_id": 2}]},
    "connected": [102],
}


class PureFunctionTests(unittest.TestCase):
    def test_external_ids_split_like_the_client(self) -> None:
        cases = {"3:7": (3, 7), " 3:7x": (3, 7), "7:1:2": (7, 1), "-1:4": (-1, 4),
                 "3:": None, "3": None, ":7": None, "abc": None, "": None,
                 "99999999999:1": None, 12: None}
        for text, expected in cases.items():
            with self.subTest(text=text):
                self.assertEqual(parse_external_id(text), expected)

    def test_batch_ids_accept_only_comma_separated_decimals(self) -> None:
        self.assertEqual(parse_ids("5,6,9"), [5, 6, 9])
        for bad in ("", "5,,6", "5, 6", "a", "5,"):
            with self.subTest(ids=bad), self.assertRaises(ValueError):
                parse_ids(bad)

    def test_frame_length_forms_and_fragments(self) -> None:
        for size, header in ((125, 2), (126, 4), (65535, 4), (65536, 10)):
            with self.subTest(size=size):
                self.assertEqual(len(wsframes.encode_frame(1, b"x" * size)), header + size)
        self.assertEqual(wsframes.split_payload(b"abcdefg", 3), [b"abc", b"de", b"fg"])
        self.assertEqual(wsframes.split_payload(b"a", 3), [b"a", b"", b""])

    def test_tokens_expire_and_revoke(self) -> None:
        tokens = Tokens()
        with mock.patch("time.monotonic", return_value=100.0):
            short, endless = tokens.issue(10), tokens.issue(None)
        with mock.patch("time.monotonic", return_value=109.9):
            self.assertTrue(tokens.valid(short))
        with mock.patch("time.monotonic", return_value=110.0):
            self.assertFalse(tokens.valid(short))
            self.assertTrue(tokens.valid(endless))
        tokens.revoke_all()
        self.assertFalse(tokens.valid(endless))


class RestTests(SimTestCase, unittest.IsolatedAsyncioTestCase):
    async def test_token_request_outcomes(self) -> None:
        cases = [
            ("good", json.dumps(CLIENT), 200),
            ("wrong secret", json.dumps({**CLIENT, "client_secret": "x"}), 401),
            ("wrong id", json.dumps({**CLIENT, "client_id": "x"}), 401),
            ("other grant", json.dumps({**CLIENT, "grant_type": "password"}), 400),
            ("not json", "grant_type=client_credentials", 400),
            ("array", "[]", 400),
        ]
        for name, body, expected in cases:
            with self.subTest(name):
                status, text = await self.sim.api("POST", "/auth/token", data=body)
                self.assertEqual(status, expected, text)
        doc = json.loads((await self.sim.api("POST", "/auth/token", json=CLIENT))[1])
        self.assertEqual(doc["expires_in"], 3600)
        await self.sim.ctl("POST", "/config", {"expires_in": None})
        doc = json.loads((await self.sim.api("POST", "/auth/token", json=CLIENT))[1])
        self.assertNotIn("expires_in", doc)

    async def test_api_calls_need_a_live_token(self) -> None:
        token = await self.sim.token()
        self.assertNotEqual(token, await self.sim.token())
        for name, auth in (("none", {}), ("unknown", {"Authorization": "Bearer nope"}),
                           ("basic", {"Authorization": f"Basic {token}"})):
            with self.subTest(name):
                status, _ = await self.sim.api("GET", "/api/corvanta/status", headers=auth)
                self.assertEqual(status, 401)
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0], 200)
        await self.sim.ctl("POST", "/tokens/revoke")
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0], 401)

    async def test_site_endpoints(self) -> None:
        await self.sim.ctl("POST", "/site", SITE)
        token = await self.sim.token()
        self.assertEqual((await self.sim.get_json("/doors", token))["doors"], SITE["doors"])
        self.assertEqual((await self.sim.get_json("/handhelds", token))["handhelds"],
                         SITE["handhelds"])
        readers = (await self.sim.get_json("/panels/1/readers", token))["readers"]
        self.assertEqual([r["external_id"] for r in readers], ["1:1", "1:2"])
        self.assertEqual((await self.sim.get_json("/panels/7/readers", token))["readers"], [])
        connected = (await self.sim.get_json("/connected-readers", token))["connected_readers"]
        self.assertEqual(connected, [{"id": 102, "name": "HH B", "guid": "guid-b",
                                      "door_id": 2, "external_id": "HB"}])
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/panels/x/readers", token))[0],
                         404)

    async def test_batches_remaining_count_and_marking(self) -> None:
        await self.sim.ctl("POST", "/site", SITE)
        await self.sim.ctl("POST", "/config", {"batch_size": 2})
        added = await self.sim.ctl("POST", "/activities", {"activities": [
            {"reader_external_id": "1:1", "badge_no": 1, "entry_granted": True},
            {"reader_external_id": "1:2", "badge_no": 2, "notes": "Badge Expired"},
            {"kind": "alarm", "reader_external_id": "1:1", "source_type": 1},
            {"reader_external_id": "2:1", "badge_no": 4},
            {"reader_external_id": "", "badge_no": 5},
        ]})
        ids = added["added"]
        token = await self.sim.token()
        first = await self.sim.get_json("/pending_activities/1", token)
        self.assertEqual([a["adm_id"] for a in first["activities"]], ids[:2])
        self.assertEqual(first["remaining_count"], 1)
        self.assertEqual(first["activities"][0]["reader_name"], "In")
        self.assertEqual(first["activities"][0]["door_name"], "Gate 1")
        self.assertEqual((first["activities"][1]["entry_granted"],
                          first["activities"][1]["notes"]), (False, "Badge Expired"))
        # Not marked yet: the same batch comes again.
        self.assertEqual(await self.sim.get_json("/pending_activities/1", token), first)
        mark = f"/api/corvanta/activities/batch_processed?ids={ids[0]},{ids[1]},999"
        self.assertEqual((await self.sim.api("POST", mark, token))[0], 200)
        second = await self.sim.get_json("/pending_activities/1", token)
        self.assertEqual([a["adm_id"] for a in second["activities"]], [ids[2]])
        self.assertEqual(second["activities"][0]["activity_type"], 3)
        self.assertEqual(second["remaining_count"], 0)
        self.assertEqual(len((await self.sim.get_json("/pending_activities/2", token))
                             ["activities"]), 1)
        self.assertEqual(len((await self.sim.get_json("/pending_activities/0", token))
                             ["activities"]), 1)
        state = await self.sim.ctl("GET", "/activities")
        self.assertEqual(state["processed_ids"], ids[:2])
        self.assertEqual(state["marks"][0]["unknown"], [999])
        bad = "/api/corvanta/activities/batch_processed?ids=1,,2"
        self.assertEqual((await self.sim.api("POST", bad, token))[0], 400)

    async def test_activities_go_on_the_wire_as_given(self) -> None:
        await self.sim.ctl("POST", "/activities", {"activities": [
            {"adm_id": 7, "reader_external_id": "12:3", "badge_no": "4711", "omit": ["notes"]},
            {"raw": '{"adm_id":8,"reader_external_id":null}', "panel": 12},
            {"raw": "{not json", "adm_id": 9, "panel": 12},
        ]})
        await self.sim.ctl("POST", "/activities", {"adm_id": 7}, expect=409)
        await self.sim.ctl("POST", "/activities", {"raw": "{}"}, expect=400)
        status, text = await self.sim.api("GET", "/api/corvanta/pending_activities/12",
                                          await self.sim.token())
        self.assertEqual(status, 200)
        self.assertIn('"badge_no":"4711"', text)
        self.assertNotIn('"notes"', text)
        self.assertTrue(text.endswith(',{"adm_id":8,"reader_external_id":null},{not json],'
                                      '"remaining_count":0}'), text)

    async def test_request_whose_body_never_comes_is_recorded(self) -> None:
        # A client that checks the server certificate after sending the headers
        # closes instead of sending the body; the log must show no body left.
        _, writer = await asyncio.open_connection(self.ready["host"], self.ready["port"],
                                                  ssl=insecure_context())
        writer.write(b"POST /auth/token HTTP/1.1\r\nHost: x\r\n"
                     b"Content-Type: application/json\r\nContent-Length: 90\r\n\r\n")
        await writer.drain()
        writer.close()
        await writer.wait_closed()
        entry = (await self.sim.ctl("POST", "/wait/requests", {"path": "/auth/token"}))["requests"][0]
        self.assertEqual((entry["body_length"], entry["body_complete"], entry["response_status"]),
                         (0, False, None))
        self.assertEqual(entry["headers"]["Content-Length"], "90")

    async def test_control_rejects_bad_calls(self) -> None:
        await self.sim.ctl("POST", "/site", SITE)
        cases = [
            ("POST", "/faults", {"path": "/x", "staus": 500}, 400),  # misspelt field
            ("POST", "/faults", {"path": "/x"}, 400),  # no effect
            ("POST", "/faults", {"path": "/x", "action": "explode"}, 400),
            ("POST", "/handhelds/connect", {"id": 999}, 404),
            ("POST", "/handhelds/door", {"id": 101, "door_id": "2"}, 400),
            ("POST", "/ws/send", {"json": {}, "text": "x"}, 400),
            ("POST", "/ws/send", {"kind": "ping", "fragments": 2}, 400),
            ("POST", "/wait/requests", {"timeout_ms": "soon"}, 400),
            ("POST", "/config", {"batch_size": 0}, 400),
            ("POST", "/config", {"no_such_setting": 1}, 400),
            ("POST", "/site", {"readers": [{"external_id": "x"}]}, 400),
            ("POST", "/cert", {"use": "third"}, 400),
            ("POST", "/tls", {"maximum": "1.2"}, 400),
            ("POST", "/action", {"action": "no_such_action"}, 404),
        ]
        for method, path, body, expected in cases:
            with self.subTest(path=path, body=body):
                self.assertIn("error", await self.sim.ctl(method, path, body, expect=expected))
        # Nothing of the refused calls took effect.
        self.assertEqual((await self.sim.ctl("GET", "/faults"))["faults"], [])
        self.assertEqual(len((await self.sim.ctl("GET", "/site"))["doors"]), 2)

    async def test_request_log_records_the_wire(self) -> None:
        await self.sim.api("POST", "/auth/token", data=json.dumps(CLIENT),
                           headers={"Content-Type": "application/json", "X-Probe": "1"})
        await self.sim.api("GET", "/api/corvanta/doors?x=1")
        log = await self.sim.ctl("GET", "/requests?path=/auth/token")
        self.assertEqual(log["count"], 1)
        entry = log["requests"][0]
        self.assertEqual((entry["method"], entry["headers"]["X-Probe"], entry["response_status"]),
                         ("POST", "1", 200))
        self.assertEqual(json.loads(entry["body"]), CLIENT)
        doors = (await self.sim.ctl("GET", "/requests?path_prefix=/api/&clear=1"))["requests"]
        self.assertEqual((doors[0]["query"], doors[0]["response_status"]), ("x=1", 401))
        self.assertEqual((await self.sim.ctl("GET", "/requests"))["count"], 0)
        waited = await self.sim.ctl("POST", "/wait/requests",
                                    {"path": "/nothing", "timeout_ms": 100}, expect=408)
        self.assertTrue(waited["timed_out"])


DOORS = "/api/corvanta/doors"


class FaultTests(SimTestCase, unittest.IsolatedAsyncioTestCase):
    async def test_answers_replaced_for_a_number_of_requests(self) -> None:
        token = await self.sim.token()
        await self.sim.ctl("POST", "/faults", {"path": "/api/corvanta/status", "status": 503,
                                               "body": "busy", "count": 2})
        await self.sim.ctl("POST", "/faults", {"path": "/api/corvanta/doors", "status": 204})
        await self.sim.ctl("POST", "/faults", {"path": "/auth/token", "body": "not json"})
        await self.sim.ctl("POST", "/faults", {"path": "/api/corvanta/handhelds",
                                               "delay_ms": 50})
        results = [await self.sim.api("GET", "/api/corvanta/status", token) for _ in range(3)]
        self.assertEqual(results, [(503, "busy"), (503, "busy"), (200, results[2][1])])
        self.assertEqual(await self.sim.api("GET", "/api/corvanta/doors", token), (204, ""))
        self.assertEqual(await self.sim.api("POST", "/auth/token", json=CLIENT), (200, "not json"))
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/handhelds", token))[0], 200)
        self.assertEqual((await self.sim.ctl("GET", "/faults"))["faults"], [])
        # The request log names the fault that acted on each request.
        recorded = (await self.sim.ctl("GET", "/requests?path=/api/corvanta/status"))["requests"]
        self.assertEqual([(r["fault"] or {}).get("status") for r in recorded], [503, 503, None])
        # A redirect is answered as armed, Location and all, and not followed here.
        location = f"https://127.0.0.1:{self.ready['control_port']}/elsewhere"
        await self.sim.ctl("POST", "/faults", {"path": "/api/corvanta/status", "status": 302,
                                               "body": "", "headers": {"Location": location}})
        async with self.sim.session.get(self.sim.base + "/api/corvanta/status", ssl=False,
                                        allow_redirects=False) as resp:
            self.assertEqual((resp.status, resp.headers.get("Location")), (302, location))

    async def test_connections_cut_or_left_hanging(self) -> None:
        token = await self.sim.token()
        for action, error in (("drop_mid_body", aiohttp.ClientPayloadError),
                              ("close", aiohttp.ServerDisconnectedError),
                              ("reset", aiohttp.ClientOSError)):
            with self.subTest(action):
                await self.sim.ctl("POST", "/faults", {"path": "/api/corvanta/doors",
                                                       "action": action})
                async with aiohttp.ClientSession() as fresh:
                    with self.assertRaises((error, aiohttp.ServerDisconnectedError)):
                        async with fresh.get(self.sim.base + "/api/corvanta/doors", ssl=False,
                                             headers={"Authorization": f"Bearer {token}"}) as r:
                            await r.read()

        await self.sim.ctl("POST", "/faults", {"path": "/api/corvanta/status", "action": "hang"})
        pending = asyncio.create_task(self.sim.api("GET", "/api/corvanta/status", token))
        await self.sim.ctl("POST", "/wait/requests", {"path": "/api/corvanta/status"})
        self.assertFalse(pending.done())
        await self.sim.ctl("POST", "/faults/clear")
        with self.assertRaises(aiohttp.ServerDisconnectedError):
            await asyncio.wait_for(pending, 5)
        answered = await self.sim.ctl("POST", "/wait/requests", {"path": "/api/corvanta/status",
                                                                 "answered": True})
        self.assertEqual(answered["requests"][0]["response_status"], 499)

    # ---- answers that misbehave on the wire: drip, oversized, endless, stall_after_headers

    async def raw_get(self, path: str, token: str | None = None) -> RawHttp:
        raw = await RawHttp.get(self.ready, path, token)
        self.addAsyncCleanup(raw.close)
        return raw

    async def arm(self, action: str, **fault: object) -> None:
        """A fault on DOORS, the request log emptied so that the next entry is the fault's."""
        await self.sim.ctl("POST", "/requests/clear")
        await self.sim.ctl("POST", "/faults", {"path": DOORS, "action": action, **fault})

    async def fault_record(self) -> dict:
        """The "fault" entry of the one logged request on DOORS, once its answer ended."""
        waited = await self.sim.ctl("POST", "/wait/requests", {"path": DOORS, "answered": True})
        self.assertEqual(waited["count"], 1)
        return waited["requests"][0]["fault"]

    def assert_quiet_log(self) -> None:
        text = (Path(self._tmp.name) / "sim.log").read_text()
        for noise in ("Traceback", "Error handling request", "Task exception"):
            self.assertNotIn(noise, text)

    async def test_streaming_fault_fields_checked_and_defaulted(self) -> None:
        refused = [
            ({"action": "oversized"}, "size_bytes"),
            ({"action": "oversized", "size_bytes": 0}, "size_bytes"),
            ({"action": "oversized", "size_bytes": "10"}, "size_bytes"),
            ({"action": "oversized", "size_bytes": 10, "announce_length": "no"},
             "announce_length"),
            ({"action": "oversized", "size_bytes": 10, "body": "x"}, "body"),
            ({"action": "endless", "chunk_bytes": 0}, "chunk_bytes"),
            ({"action": "endless", "status": 204}, "status"),
            ({"action": "drip", "drip_bytes": 0}, "drip_bytes"),
            ({"action": "drip", "interval_ms": -1}, "interval_ms"),
            ({"action": "drip", "size_bytes": 10}, "size_bytes"),
            ({"action": "hang", "interval_ms": 10}, "interval_ms"),
            ({"action": "stall_after_headers", "stall_after_bytes": -1}, "stall_after_bytes"),
            ({"action": "stall_after_headers", "stall_bytes": 1}, "stall_bytes"),
        ]
        for args, field in refused:
            with self.subTest(args):
                doc = await self.sim.ctl("POST", "/faults", {"path": "/x", **args}, expect=400)
                self.assertIn(field, doc["error"])
        defaults = [
            ({"action": "drip"}, {"interval_ms": 500, "drip_bytes": 1}),
            ({"action": "oversized", "size_bytes": 5},
             {"size_bytes": 5, "announce_length": True, "chunk_bytes": 65536}),
            ({"action": "endless"}, {"interval_ms": 0, "chunk_bytes": 65536}),
            ({"action": "stall_after_headers"}, {"stall_after_bytes": 0}),
        ]
        for args, settings in defaults:
            with self.subTest(args):
                described = await self.sim.ctl("POST", "/faults", {"path": "/x", **args})
                self.assertEqual({k: described[k] for k in settings}, settings)
        self.assertNotIn("interval_ms", await self.sim.ctl("POST", "/faults",
                                                           {"path": "/x", "action": "hang"}))

    async def test_drip_sends_the_body_piece_by_piece(self) -> None:
        token = await self.sim.token()
        normal = (await self.sim.api("GET", DOORS, token))[1].encode()
        # fault, expected status, body, least time to the last byte (the sum of the
        # pauses, so a lower bound whatever the load), and whether to check that the
        # pieces came apart (100 ms apart: only a client stalled for 200 ms sees one read)
        cases = [
            ({"body": "abcdef", "drip_bytes": 2, "interval_ms": 100}, 200, b"abcdef", 0.25, True),
            ({"drip_bytes": 4, "interval_ms": 10}, 200, normal, 0.02, False),
            ({"status": 503, "body": "busy", "interval_ms": 20, "content_type": "text/plain",
              "headers": {"Retry-After": "1"}}, 503, b"busy", 0.06, False),
        ]
        for fault, status, body, least, apart in cases:
            with self.subTest(fault):
                await self.arm("drip", **fault)
                started = time.monotonic()
                raw = await self.raw_get(DOORS, token)
                self.assertEqual((raw.status, raw.headers["content-length"]),
                                 (status, str(len(body))))
                if "headers" in fault:
                    self.assertEqual(raw.headers["retry-after"], "1")
                arrivals, data = 0, b""
                while len(data) < len(body):
                    data += await asyncio.wait_for(raw.reader.read(100), 5)
                    arrivals += 1
                self.assertEqual(data, body)
                self.assertGreaterEqual(time.monotonic() - started, least)
                if apart:
                    self.assertGreater(arrivals, 1)
                record = await self.fault_record()
                self.assertEqual((record["ended"], record["sent_bytes"]), ("complete", len(body)))
                self.assertEqual(record["drip_bytes"], fault.get("drip_bytes", 1))
        self.assert_quiet_log()

    async def test_oversized_answer_is_exactly_size_bytes(self) -> None:
        size = 2 * 1024 * 1024 + 5
        cases = [({}, 200, str(size), None),
                 ({"announce_length": False, "status": 502, "chunk_bytes": 1000},
                  502, None, "chunked")]
        for fault, status, length, encoding in cases:
            with self.subTest(fault):
                await self.arm("oversized", size_bytes=size, **fault)
                async with aiohttp.ClientSession() as fresh:
                    async with fresh.get(self.sim.base + DOORS, ssl=False) as r:
                        self.assertEqual((r.status, r.headers.get("Content-Length"),
                                          r.headers.get("Transfer-Encoding")),
                                         (status, length, encoding))
                        body = await r.read()
                self.assertEqual(len(body), size)
                self.assertTrue(body.startswith(FILLER_PREFIX + b'"xxxxx'))
                self.assertEqual(body, b"".join(filler_chunks(7, size)))
                record = await self.fault_record()
                self.assertEqual((record["ended"], record["sent_bytes"]), ("complete", size))
        self.assert_quiet_log()

    async def test_endless_body_keeps_coming_while_others_are_served(self) -> None:
        token = await self.sim.token()
        await self.arm("endless")
        raw = await self.raw_get(DOORS)
        self.assertEqual((raw.status, raw.headers.get("transfer-encoding"),
                          raw.headers.get("content-length")), (200, "chunked", None))
        received = await raw.chunk()
        self.assertTrue(received.startswith(FILLER_PREFIX))
        while len(received) < 3 * 1024 * 1024:
            received += await raw.chunk()
            if len(received) % (1024 * 1024) < 65536:  # now and then, another request
                self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0],
                                 200)
        # The client stops reading: the simulator waits on it and serves the others.
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0], 200)
        self.assertEqual((await self.sim.ctl("GET", "/state"))["listening"], True)
        await raw.close()
        record = await self.fault_record()
        self.assertEqual(record["ended"], "gone")
        self.assertGreaterEqual(record["sent_bytes"], len(received))
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0], 200)

        # A client that reads nothing more holds up only its own answer, until released.
        await self.arm("endless")
        raw = await self.raw_get(DOORS)
        await raw.chunk()
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0], 200)
        await self.sim.ctl("POST", "/faults/clear")
        self.assertEqual((await self.fault_record())["ended"], "released")
        await raw.until_eof()  # what was on the way, then the end

        # Paced: a small chunk every interval, until the faults are cleared.
        await self.arm("endless", interval_ms=50, chunk_bytes=10)
        started = time.monotonic()
        raw = await self.raw_get(DOORS)
        chunks = [await raw.chunk() for _ in range(4)]
        self.assertGreaterEqual(time.monotonic() - started, 0.15)
        self.assertEqual(b"".join(chunks), b"".join(filler_chunks(40, 40)))
        await self.sim.ctl("POST", "/faults/clear")
        tail = await raw.until_eof()
        self.assertNotIn(b"0\r\n\r\n", tail)  # cut, never ended properly
        self.assertEqual((await self.fault_record())["ended"], "released")
        self.assert_quiet_log()

    async def test_stall_after_headers_holds_until_released_or_gone(self) -> None:
        token = await self.sim.token()
        normal = (await self.sim.api("GET", DOORS, token))[1].encode()
        cases = [  # fault, declared length, bytes before the stall, how it ends
            ({"body": "0123456789", "stall_after_bytes": 4}, 10, b"0123", "released"),
            ({}, len(normal), b"", "gone"),
            ({"body": "abc", "stall_after_bytes": 100, "cut_mode": "reset"}, 3, b"ab",
             "released"),
        ]
        for fault, length, first, ending in cases:
            with self.subTest(fault):
                await self.arm("stall_after_headers", **fault)
                raw = await self.raw_get(DOORS, token)
                self.assertEqual((raw.status, raw.headers["content-length"]),
                                 (200, str(length)))
                if first:
                    self.assertEqual(await asyncio.wait_for(
                        raw.reader.readexactly(len(first)), 5), first)
                with self.assertRaises(asyncio.TimeoutError):
                    await asyncio.wait_for(raw.reader.read(1), 0.3)
                held = await self.sim.ctl("GET", f"/requests?path={DOORS}&answered=0")
                self.assertEqual((held["count"], held["requests"][0]["fault"]["ended"]), (1, None))
                if ending == "released":
                    await self.sim.ctl("POST", "/faults/clear")
                    self.assertEqual(await raw.until_eof(), b"")
                else:
                    await raw.close()
                record = await self.fault_record()
                self.assertEqual((record["ended"], record["sent_bytes"]), (ending, len(first)))
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0], 200)
        self.assert_quiet_log()

    async def test_certificate_swap_reports_thumbprints(self) -> None:
        async def presented() -> str:
            _, writer = await asyncio.open_connection(self.ready["host"], self.ready["port"],
                                                      ssl=insecure_context())
            der = writer.get_extra_info("ssl_object").getpeercert(binary_form=True)
            writer.close()
            await writer.wait_closed()
            return hashlib.sha1(der).hexdigest().upper()

        report = await self.sim.ctl("GET", "/cert")
        for name, key in (("primary", "cert_sha1"), ("alternate", "alt_cert_sha1")):
            self.assertEqual(report[name]["sha1"], self.ready[key])
            der = Path(report[name]["der_path"]).read_bytes()
            self.assertEqual(hashlib.sha1(der).hexdigest().upper(), self.ready[key])
        self.assertEqual(await presented(), self.ready["cert_sha1"])
        await self.sim.ctl("POST", "/cert", {"use": "alternate"})
        self.assertEqual(await presented(), self.ready["alt_cert_sha1"])
        await self.sim.ctl("POST", "/reset")
        self.assertEqual(await presented(), self.ready["cert_sha1"])

    async def test_tls_versions_capped_and_restored(self) -> None:
        async def handshake(client_maximum: ssl.TLSVersion, client_minimum: ssl.TLSVersion) -> str:
            ctx = insecure_context()
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            with warnings.catch_warnings():  # an outdated client on purpose
                warnings.simplefilter("ignore", DeprecationWarning)
                ctx.minimum_version, ctx.maximum_version = client_minimum, client_maximum
            _, writer = await asyncio.open_connection(self.ready["host"], self.ready["port"], ssl=ctx)
            version = writer.get_extra_info("ssl_object").version()
            writer.close()
            with contextlib.suppress(ssl.SSLError, ConnectionError):
                await writer.wait_closed()
            return version

        modern = (ssl.TLSVersion.MAXIMUM_SUPPORTED, ssl.TLSVersion.TLSv1_2)
        old = (ssl.TLSVersion.TLSv1_1, ssl.TLSVersion.TLSv1)
        # A current server refuses an old client and serves a current one.
        with self.assertRaises((ssl.SSLError, ConnectionError)):
            await handshake(*old)
        self.assertIn(await handshake(*modern), ("TLSv1.2", "TLSv1.3"))
        for maximum, agreed in (("1.1", "TLSv1.1"), ("1.0", "TLSv1")):
            with self.subTest(maximum=maximum):
                self.assertEqual(await self.sim.ctl("POST", "/tls", {"maximum": maximum}), {"maximum": maximum})
                self.assertEqual((await self.sim.ctl("GET", "/state"))["tls_maximum"], maximum)
                self.assertEqual(await handshake(*old), agreed)
                with self.assertRaises((ssl.SSLError, ConnectionError)):
                    await handshake(*modern)
        await self.sim.ctl("POST", "/tls", {"maximum": None})
        self.assertIn(await handshake(*modern), ("TLSv1.2", "TLSv1.3"))
        await self.sim.ctl("POST", "/tls", {"maximum": "1.1"})
        await self.sim.ctl("POST", "/reset")
        self.assertIn(await handshake(*modern), ("TLSv1.2", "TLSv1.3"))

    async def test_listener_stop_and_start(self) -> None:
        token = await self.sim.token()
        # The session keeps its connection alive; dropping REST connections cuts it.
        dropped = await self.sim.ctl("POST", "/connections/drop", {"what": "rest", "mode": "reset"})
        self.assertEqual(dropped["dropped"], {"rest": 1, "websocket": 0})
        await self.sim.ctl("POST", "/server/stop")
        with self.assertRaises(aiohttp.ClientConnectorError):
            await self.sim.api("GET", "/api/corvanta/status", token)
        self.assertFalse((await self.sim.ctl("GET", "/state"))["listening"])
        started = await self.sim.ctl("POST", "/server/start")
        self.assertEqual(started["port"], self.ready["port"])
        self.assertEqual((await self.sim.api("GET", "/api/corvanta/status", token))[0], 200)


class WebSocketTests(SimTestCase, unittest.IsolatedAsyncioTestCase):
    async def open(self) -> RawWebSocket:
        ws = await RawWebSocket.open(self.ready, await self.sim.token())
        self.addAsyncCleanup(ws.close)
        self.assertEqual(ws.status, 101)
        await self.sim.ctl("POST", "/wait/ws_clients", {"count": 1})
        return ws

    async def message(self, ws: RawWebSocket) -> dict:
        fin, opcode, payload = await ws.frame()
        self.assertEqual((fin, opcode), (True, wsframes.OP_TEXT))
        return json.loads(payload)

    async def test_upgrade_refused_without_valid_token_or_by_fault(self) -> None:
        for token, refusal, expected in (("bogus", None, 401),
                                         (await self.sim.token(), 404, 404)):
            if refusal:
                await self.sim.ctl("POST", "/ws/refuse", {"status": refusal})
            ws = await RawWebSocket.open(self.ready, token)
            await ws.close()
            self.assertEqual(ws.status, expected)

    async def test_handheld_and_activity_notifications_follow_the_site(self) -> None:
        await self.sim.ctl("POST", "/site", SITE)
        ws = await self.open()
        token = await self.sim.token()
        await self.sim.ctl("POST", "/handhelds/connect", {"id": 101})
        self.assertEqual(await self.message(ws), {"type": "reader_connected", "reader": {
            "guid": "guid-a", "name": "HH A", "id": 101, "door_id": 1, "external_id": "HA"}})
        connected = (await self.sim.get_json("/connected-readers", token))["connected_readers"]
        self.assertEqual([c["id"] for c in connected], [102, 101])

        await self.sim.ctl("POST", "/handhelds/door", {"guid": "guid-a", "door_id": 2})
        self.assertEqual((await self.message(ws))["reader"],
                         {"guid": "guid-a", "id": 101, "name": "HH A",
                          "old_door_id": 1, "new_door_id": 2})
        readers = (await self.sim.get_json("/panels/1/readers", token))["readers"]
        self.assertEqual(readers[0]["door_id"], 2)

        await self.sim.ctl("POST", "/handhelds/disconnect", {"id": 101})
        self.assertEqual(await self.message(ws), {"type": "reader_disconnected", "reader": {
            "guid": "guid-a", "name": "HH A", "id": 101}})
        await self.sim.ctl("POST", "/activities", {"reader_external_id": "1:1"})
        self.assertEqual(await self.message(ws), {"type": "activities_available"})
        await self.sim.ctl("POST", "/config", {"auto_notify_activities": False})
        await self.sim.ctl("POST", "/activities", {"reader_external_id": "1:1"})
        await self.sim.ctl("POST", "/ws/send", {"json": {"type": "heartbeat"}})
        self.assertEqual(await self.message(ws), {"type": "heartbeat"})

    async def test_frames_as_requested(self) -> None:
        ws = await self.open()
        text = '{"type":"heartbeat"}'
        await self.sim.ctl("POST", "/ws/send", {"text": text, "fragments": 3})
        frames = [await ws.frame() for _ in range(3)]
        self.assertEqual([(f[0], f[1]) for f in frames], [(False, 1), (False, 0), (True, 0)])
        self.assertEqual(b"".join(f[2] for f in frames).decode(), text)
        cases = [({"kind": "binary", "text": "ab"}, (True, 2, b"ab")),
                 ({"text": ""}, (True, 1, b"")),
                 ({"text": "{broken"}, (True, 1, b"{broken")),
                 ({"kind": "ping", "text": "p"}, (True, 9, b"p"))]
        for request, expected in cases:
            with self.subTest(request):
                await self.sim.ctl("POST", "/ws/send", request)
                self.assertEqual(await ws.frame(), expected)
        await self.sim.ctl("POST", "/ws/send", {"size": 70000, "fragments": 2})
        first, second = await ws.frame(), await ws.frame()
        big = json.loads(first[2] + second[2])
        self.assertEqual((big["type"], len(first[2]) + len(second[2])), ("heartbeat", 70000))

    async def test_close_handshake_and_drop(self) -> None:
        ws = await self.open()
        await self.sim.ctl("POST", "/ws/close", {"code": 1001, "reason": "bye"})
        self.assertEqual(await ws.frame(), (True, 8, b"\x03\xe9bye"))
        ws.send(wsframes.OP_CLOSE, b"\x03\xe9")
        await self.sim.ctl("POST", "/wait/ws_clients", {"count": 0})
        self.assertEqual(await ws.reader.read(), b"")

        # A client's close is answered, unless the simulator is told to hold it.
        ws = await self.open()
        ws.send(wsframes.OP_CLOSE, b"\x03\xe8")
        self.assertEqual(await ws.frame(), (True, 8, b"\x03\xe8"))
        await self.sim.ctl("POST", "/config", {"ws_answer_client_close": False})
        ws = await self.open()
        ws.send(wsframes.OP_CLOSE, b"\x03\xe8")
        with self.assertRaises(asyncio.TimeoutError):
            await ws.frame(timeout=0.3)
        clients = await self.sim.ctl("GET", "/ws/clients")
        self.assertEqual(clients["clients"][0]["received"], [{"type": "close", "code": 1000}])
        dropped = await self.sim.ctl("POST", "/connections/drop", {"what": "websocket"})
        self.assertEqual(dropped["dropped"], {"rest": 0, "websocket": 1})
        await self.sim.ctl("POST", "/wait/ws_clients", {"count": 0})


class ProcessTests(unittest.TestCase):
    """Start-up, shutdown paths and the scenario runner."""

    def setUp(self) -> None:
        tmp = tempfile.TemporaryDirectory(prefix="tallyport-sim-proc-")
        self.addCleanup(tmp.cleanup)
        self.dir = seed_certs(Path(tmp.name))

    def test_exits_on_sigterm_and_on_stdin_eof(self) -> None:
        proc, ready = start_sim(self.dir)
        self.addCleanup(stop_sim, proc)
        self.assertEqual(ready["pid"], proc.pid)
        self.assertNotEqual(ready["port"], 0)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(10), 0)
        self.assertFalse((self.dir / "ready.json").exists())

        # Same state directory: the certificates, and so the pins, survive a restart.
        first_sha1 = ready["cert_sha1"]
        proc, ready = start_sim(self.dir, "--exit-on-stdin-eof", stdin=subprocess.PIPE)
        self.addCleanup(stop_sim, proc)
        self.assertEqual(ready["cert_sha1"], first_sha1)
        proc.stdin.close()
        self.assertEqual(proc.wait(10), 0)

    def test_simctl_starts_calls_and_stops(self) -> None:
        simctl = [sys.executable, str(SIM_DIR / "simctl.py"), "--state-dir", str(self.dir)]
        started = subprocess.run([*simctl, "start", "--", "--port", "0", "--control-port", "0"],
                                 capture_output=True, text=True, timeout=60)
        self.assertEqual(started.returncode, 0, started.stderr)
        pid = json.loads(started.stdout)["pid"]
        self.addCleanup(lambda: Path(f"/proc/{pid}").exists() and os.kill(pid, signal.SIGKILL))
        called = subprocess.run([*simctl, "call", "POST", "/config", '{"batch_size": 4}'],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(json.loads(called.stdout)["batch_size"], 4)
        self.assertEqual(subprocess.run([*simctl, "stop"], timeout=30).returncode, 0)
        self.assertFalse(Path(f"/proc/{pid}/cmdline").exists()
                         and b"tallyport_sim" in Path(f"/proc/{pid}/cmdline").read_bytes())

    def test_scenario_runs_its_steps(self) -> None:
        scenario = self.dir / "s.json"
        scenario.write_text(json.dumps({
            "site": SITE, "config": {"batch_size": 3},
            "steps": [{"at_ms": 20, "action": "add_activities", "reader_external_id": "1:1"},
                      {"at_ms": 0, "action": "connect_handheld", "id": 101},
                      {"at_ms": 30, "action": "connect_handheld", "id": 999}]}))
        proc, ready = start_sim(self.dir, "--scenario", str(scenario))
        self.addCleanup(stop_sim, proc)

        async def check() -> None:
            async with aiohttp.ClientSession() as session:
                url = ready["control_url"]
                status: dict = {}
                for _ in range(100):
                    async with session.get(url + "/scenario") as resp:
                        status = await resp.json()
                    if status["finished"]:
                        break
                    await asyncio.sleep(0.05)
                self.assertEqual((status["steps_done"], len(status["errors"])), (3, 1))
                async with session.get(url + "/site") as resp:
                    site = await resp.json()
                self.assertEqual([c["id"] for c in site["connected_readers"]], [102, 101])
                async with session.get(url + "/config") as resp:
                    self.assertEqual((await resp.json())["batch_size"], 3)
        asyncio.run(check())

    def test_bad_scenario_and_demo_scenario(self) -> None:
        bad = self.dir / "bad.json"
        bad.write_text(json.dumps([{"at_ms": 0, "action": "no_such_action"}]))
        result = subprocess.run(
            ["/usr/bin/python3", str(SIM_DIR / "tallyport_sim.py"), "--port", "0",
             "--control-port", "0", "--state-dir", str(self.dir), "--scenario", str(bad)],
            capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 2)
        self.assertIn("no_such_action", result.stderr)
        proc, ready = start_sim(self.dir, "--scenario", str(SIM_DIR / "scenarios" / "demo.json"))
        self.addCleanup(stop_sim, proc)

        async def check() -> None:
            async with aiohttp.ClientSession() as session:
                async with session.get(ready["control_url"] + "/scenario") as resp:
                    status = await resp.json()
                self.assertEqual(status["start"], "first_client")
                self.assertFalse(status["started"])
        asyncio.run(check())


if __name__ == "__main__":
    unittest.main()
