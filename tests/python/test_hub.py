"""palvex.Hub against corvel-sim on [::1]:5005. A Hub's state lasts for its
process (the library keeps every registration), so CTest runs each test here
in a process of its own, under the resource lock palvex_hub_port; every wait
is bounded, and is for something the Hub or the simulator reports."""
import json
import re
import socket
import struct
import sys
import threading
import time

import numpy as np
import pytest

import palvex
from conftest import PYTHON_DIR, make_capture
from tooltest import Simulator, chunk, run

PN = palvex.column_names().index("package_num")
FILLER = palvex.column_names().index("filler")
FORMAT = palvex.column_names().index("format_code")


def made(sim, ssid):
    """Packets the simulator says it made for a board."""
    return int(re.search(rf"board {ssid} \(\w+\): (\d+) packets made", sim.stderr()).group(1))


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def nothing_listens():
    probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    probe.settimeout(1)
    try:
        return probe.connect_ex(("::1", 5005)) != 0
    finally:
        probe.close()


def test_rows_of_every_board_arrive_and_instructions_reach_the_boards(tmp_path):
    packets = 750  # three seconds at 250 packets a second
    with Simulator(["--board", "A1:MES_4", "--board", "B2:WUA2", "--board", "C3:IMP_3", "--packet-rate", 250,
                    "--packets", packets], tmp_path) as sim:
        parts = {}
        with palvex.Hub("::1", boards=["A1", "B2"]) as hub:  # C3 is found in the SSID list
            start = time.monotonic()
            sent = False

            def take():
                for ssid in hub.ssids():
                    parts.setdefault(ssid, []).append(hub.get_data(ssid))
                return all(p and any(len(a) for a in p) and np.concatenate(p)[-1, PN] == 2 * packets
                           for p in (parts.get(s) for s in ("A1", "B2", "C3")))

            while not take() and time.monotonic() - start < 20:
                time.sleep(0.1)
                if not sent and time.monotonic() - start > 1:
                    hub.write(b"\x01", "A1")
                    hub.write(b"\x02")
                    sent = True
            assert set(hub.ssids()) == {"A1", "B2", "C3"}
            assert [hub.overwritten(s) for s in ("A1", "B2", "C3")] == [0, 0, 0]
            assert hub.connected and hub.reconnections == 0
            with pytest.raises(KeyError):
                hub.get_data("ZZ")
        assert not hub.connected
        assert sim.wait(10) == 0
        frames = sim.stdout().splitlines()

    for ssid in ("A1", "B2", "C3"):
        rows = np.concatenate(parts[ssid])
        numbers = rows[:, PN]
        # From the first row received on (the read loop may lose the chunk it
        # joins the stream in), every row up to the board's last packet.
        assert numbers[-1] == 2 * made(sim, ssid) == 2 * packets
        assert np.array_equal(numbers, np.arange(numbers[0], numbers[-1] + 1)), ssid
        assert rows.shape[1] == len(hub.columns)
    assert frames[0] == "write frame 1 (20 bytes): trigger 1, 1 board(s); A1: 01 00 00 00 00"
    assert re.match(r"write frame 2 \(\d+ bytes\): trigger \d+, 3 board\(s\); ", frames[1]), frames
    assert sorted(re.findall(r"; (\w+): 02 00 00 00 00", frames[1])) == ["A1", "B2", "C3"], frames


def test_a_full_buffer_keeps_the_newest_rows_and_counts_the_others(tmp_path):
    packets = 500  # one second at 500 packets a second: 1000 rows into a buffer of 100
    with Simulator(["--board", "A1:MES_4", "--packet-rate", 500, "--packets", packets], tmp_path) as sim:
        with palvex.Hub("::1", boards=["A1"], capacity=100, discover=False) as hub:
            # The first rows, while the buffer still holds all of them.
            assert wait_for(lambda: len(hub.get_current_data("A1", 1)) > 0, 10)
            early = hub.get_current_data("A1", 100)
            assert hub.overwritten("A1") == 0 and 0 < len(early) < 100
            first = early[0, PN]
            assert wait_for(lambda: hub.get_current_data("A1", 1)[0, PN] == 2 * packets, 10)
            window = hub.get_current_data("A1", 10)
            held = hub.get_current_data("A1", 1000)
            rows = hub.get_data("A1")
            assert len(hub.get_data("A1")) == 0
            overwritten = hub.overwritten("A1")
        assert sim.wait(10) == 0

    last = 2 * made(sim, "A1")
    assert np.array_equal(window[:, PN], np.arange(last - 9, last + 1))
    assert np.array_equal(held, rows)
    assert np.array_equal(rows[:, PN], np.arange(last - 99, last + 1))
    assert overwritten == (last - first + 1) - 100


def test_no_hub_is_an_error_and_a_later_open_connects(tmp_path):
    if not nothing_listens():
        pytest.skip("something listens on [::1]:5005")
    with pytest.raises(palvex.PalvexError) as caught:
        palvex.Hub("::1", wait=0).open()
    assert caught.value.code == palvex.Result.NO_CONNECTION
    # A failed open holds nothing: once the hub is up, the next one connects.
    with Simulator(["--board", "A1:MES_4", "--duration", 60], tmp_path):
        with palvex.Hub("::1", boards=["A1"], wait=0) as hub:
            assert wait_for(lambda: len(hub.get_current_data("A1", 1)) > 0, 10)
            assert hub.connected


def test_a_hub_opens_again_after_close_one_at_a_time(tmp_path):
    with Simulator(["--board", "A1:MES_4", "--packet-rate", 250, "--duration", 60], tmp_path):
        hub = palvex.Hub("::1", boards=["A1"], discover=False)
        parts = []
        last = 0
        for session in range(3):
            # The same Hub twice, then another one: each a new session of the
            # library, on the board's one buffer.
            current = hub if session < 2 else palvex.Hub("::1", boards=["A1"], discover=False)
            with current:
                assert current.connected
                newest = lambda: current.get_current_data("A1", 1)[:, PN]  # noqa: E731
                assert wait_for(lambda: len(newest()) and newest()[0] > last + 100, 10)
                parts.append(current.get_data("A1"))
                last = parts[-1][-1, PN]
                with pytest.raises(RuntimeError, match="is open in this process; one Hub is open at a time"):
                    palvex.Hub("::1").open()
            assert not current.connected
            if session == 0:
                # The boards' buffers and decoders stay: a Hub of the process
                # cannot ask for others.
                with pytest.raises(ValueError, match="another descriptor or capacity"):
                    palvex.Hub("::1", capacity=100).open()
            time.sleep(0.3)  # stopped a while: the boards count on meanwhile
        parts.append(hub.get_data("A1"))  # what came between the last take and close

    rows = np.concatenate(parts)
    numbers = rows[:, PN]
    # One buffer, numbers rising through the three sessions; a restart is
    # no loss, so the packets sent while stopped got no filler rows.
    assert np.all(np.diff(numbers) > 0)
    assert np.count_nonzero(np.diff(numbers) > 1) >= 2
    assert not rows[:, FILLER].any()


def test_a_hub_waits_for_a_hub_started_later_and_reads_on_across_its_restart(tmp_path):
    if not nothing_listens():
        pytest.skip("something listens on [::1]:5005")
    opened = {}

    def open_early():
        try:
            opened["hub"] = palvex.Hub("::1", boards=["A1"], wait=30).open()
        except BaseException as e:
            opened["error"] = e

    opener = threading.Thread(target=open_early)
    opener.start()
    try:
        time.sleep(1)  # the Hub tries by now, and must not give up
        assert opener.is_alive(), opened
        boards = ["--board", "A1:MES_4", "--board", "B2:WUA2", "--duration", 60]
        with Simulator(boards, tmp_path):
            opener.join(30)
            hub = opened["hub"]
            held = lambda ssid: len(hub.get_current_data(ssid, 1 << 16))  # noqa: E731
            assert wait_for(lambda: sorted(hub.ssids()) == ["A1", "B2"] and min(held("A1"), held("B2")) >= 100, 10)
            assert hub.connected and hub.reconnections == 0
        # The simulator's process is gone; the library tries to reconnect.
        assert wait_for(lambda: not hub.connected, 10)
        before = {ssid: held(ssid) for ssid in ("A1", "B2")}
        with Simulator(boards, tmp_path):
            assert wait_for(lambda: hub.connected, 20)
            assert wait_for(lambda: all(held(s) >= before[s] + 100 for s in before), 10)
            assert hub.reconnections == 1
            assert sorted(hub.ssids()) == ["A1", "B2"]
            hub.close()
    finally:
        opener.join(30)
        if "hub" in opened:
            opened["hub"].close()

    for ssid in ("A1", "B2"):
        numbers = hub.get_data(ssid)[:, PN]
        # The buffer kept the first hub's rows and went on with the second's:
        # numbers rise, fall back once at the restart, and rise again.
        falls = np.flatnonzero(np.diff(numbers) < 0)
        assert len(falls) == 1, ssid
        assert numbers[falls[0]] >= 100 and numbers[falls[0] + 1] < numbers[falls[0]]


NO_CLOSE = """
import sys, time
sys.path.insert(0, {python!r})
import palvex
hub = palvex.Hub("::1", boards=["A1"]).open()
deadline = time.monotonic() + 10
while len(hub.get_current_data("A1", 100)) < 100 and time.monotonic() < deadline:
    time.sleep(0.02)
print("reading", len(hub.get_current_data("A1", 100)), flush=True)
"""


def test_a_script_that_ends_without_close_while_reading_exits_cleanly(tmp_path):
    script = tmp_path / "no_close.py"
    script.write_text(NO_CLOSE.format(python=PYTHON_DIR))
    with Simulator(["--board", "A1:MES_4", "--board", "B2:WUA2", "--packet-rate", 1000, "--duration", 60], tmp_path):
        proc = run([sys.executable, script], timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "reading 100\n"
    assert "Sanitizer" not in proc.stderr and "Traceback" not in proc.stderr, proc.stderr


def test_addresses_and_ssids_the_library_would_misread_are_refused():
    for host in ["127.0.0.1", "localhost", "", "::1%no-such-interface", "[::1]:5005"]:
        with pytest.raises(ValueError, match=r"numeric IPv6 address \(such as '::1'\)"):
            palvex.Hub(host)
    # The empty SSID means all boards to the library.
    for boards in ([""], ["ABCDEFG"], ["A\0"]):
        with pytest.raises(ValueError, match="an SSID has 1 to 6 characters"):
            palvex.Hub("::1", boards=boards)
    with pytest.raises(ValueError, match="the empty SSID means all boards"):
        palvex.Hub("::1").get_data("")
    for wait in (-1, float("nan")):
        with pytest.raises(ValueError, match="wait"):
            palvex.Hub("::1", wait=wait)


class StreamingHub:
    """A hub on [::1]:5005 whose boards are "" and "A1" (corvel-sim names
    every board): it answers the greeting and streams MES_4 chunks of both,
    from the greeting on, until stopped."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("::1", 5005))
        self.listener.listen(1)
        self.listener.settimeout(10)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve)
        self.thread.start()

    @staticmethod
    def packet(number):
        b = bytearray(77)
        b[0] = 4
        b[2 + 67:2 + 75] = struct.pack("<II", number, number + 1)
        return bytes(b)

    def _serve(self):
        conn, _ = self.listener.accept()
        with conn:
            conn.settimeout(10)
            conn.recv(5)
            conn.sendall(b"OK")
            number = 1
            while not self.stop.wait(0.005):
                conn.sendall(chunk("", self.packet(number)) + chunk("A1", self.packet(number + 1000)))
                number += 2

    def close(self):
        self.stop.set()
        self.thread.join(15)
        self.listener.close()


def test_a_board_with_the_empty_ssid_gets_no_buffer_of_all_boards():
    if not nothing_listens():
        pytest.skip("something listens on [::1]:5005")
    hub_side = StreamingHub()
    try:
        with palvex.Hub("::1", poll_interval=0.01) as hub:
            assert wait_for(lambda: sorted(hub.ssids()) == ["", "A1"] and len(hub.get_current_data("A1", 100)) == 100,
                            10)
            time.sleep(0.1)  # several looks at the SSID list since it showed both
            with pytest.raises(ValueError, match="the empty SSID means all boards"):
                hub.get_data("")
            rows = hub.get_data("A1")
    finally:
        hub_side.close()
    # A1's rows are A1's alone.
    assert rows[:, PN].min() > 1000 and rows[:, FORMAT].tolist() == [4.0] * len(rows)


def test_the_hub_claims_the_descriptor_before_it_sets_it(tmp_path):
    if not nothing_listens():
        pytest.skip("something listens on [::1]:5005")
    capture = make_capture(tmp_path / "c.cap", {"A1": "MES_4"}, 10)
    other = dict(json.loads(palvex.DEFAULT_DESCRIPTOR), sampling_rate=250)
    failed = []

    def open_without_hub():
        try:
            palvex.Hub("::1", wait=3).open()  # no hub: at least three seconds of trying
        except palvex.PalvexError as e:
            failed.append(e)

    opener = threading.Thread(target=open_without_hub)
    opener.start()
    try:
        # While the Hub still tries to connect, its descriptor is the process's.
        assert wait_for(lambda: palvex._process.open_hub_now() is not None, 5)
        with pytest.raises(RuntimeError, match="another descriptor"):
            palvex.decode_capture(capture, descriptor=other)
        assert palvex.decode_capture(capture)["A1"].data.shape[0] > 0  # the Hub's own is fine
    finally:
        opener.join(30)
    assert failed[0].code == palvex.Result.NO_CONNECTION
    # The failed open gave the descriptor back.
    assert palvex.decode_capture(capture, descriptor=other)["A1"].data.shape[0] > 0
