"""palvex.Hub against corvel-sim on [::1]:5005. The library opens the hub
once per process, so CTest runs each test here in a process of its own,
under the resource lock palvex_hub_port; every wait is bounded."""
import re
import socket
import time

import numpy as np
import pytest

import palvex
from tooltest import Simulator

PN = palvex.column_names().index("package_num")


def made(sim, ssid):
    """Packets the simulator says it made for a board."""
    return int(re.search(rf"board {ssid} \(\w+\): (\d+) packets made", sim.stderr()).group(1))


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


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
            with pytest.raises(KeyError):
                hub.get_data("ZZ")
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
    with pytest.raises(RuntimeError, match="one hub connection per process"):
        palvex.Hub("::1").open()


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


def test_no_hub_is_an_error_and_the_process_does_not_try_again():
    probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    probe.settimeout(1)
    try:
        if probe.connect_ex(("::1", 5005)) == 0:
            pytest.skip("something listens on [::1]:5005")
    finally:
        probe.close()
    with pytest.raises(palvex.PalvexError) as caught:
        palvex.Hub("::1").open()
    assert caught.value.code == palvex.Result.NO_CONNECTION
    with pytest.raises(RuntimeError, match=r"palvex.Hub\('::1'\) has already opened \(or tried to open\)"):
        palvex.Hub("::1").open()
