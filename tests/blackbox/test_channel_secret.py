"""The channel secret across processes: created once, shared by every later reader."""
import json
import os
import random
import re
import subprocess
import tempfile
import time

import pytest

from conftest import WINE_RUN, Console, exe, run, start, start_agent, win_path

FP = "0123456789abcdef" * 4


def secret_tool(directory, *extra):
    return run(exe("channel_secret_tool.exe"), win_path(directory), FP, *extra)


def test_created_once_and_read_back_unchanged_by_another_process():
    with tempfile.TemporaryDirectory() as d:
        first = secret_tool(d)
        assert first.returncode == 0, first.stderr
        # Made, and said to be new: clients that hold an earlier key must read it again.
        assert re.search(rb"INFO  channel\.bin created: a new channel secret, in Z:\\.*\\channel\.bin; every "
                         rb"client that holds an earlier key must read it again \(restart the companion and the "
                         rb"suite's applications\)\r\n", first.stderr), first.stderr
        secret = first.stdout.strip()
        assert len(secret) == 64
        blob = open(os.path.join(d, "channel.bin"), "rb").read()

        second = secret_tool(d)
        assert second.returncode == 0
        assert second.stdout.strip() == secret
        assert second.stderr == b""  # read back silently
        assert open(os.path.join(d, "channel.bin"), "rb").read() == blob


@pytest.mark.slow
def test_processes_racing_on_an_empty_directory_agree_on_one_secret():
    tick = int(run(exe("tick_now.exe")).stdout)
    for round_no in range(4):
        with tempfile.TemporaryDirectory() as d:
            # Both start together a little after they have been launched.
            start_at = str(tick + 1500 + round_no)
            procs = [start(exe("channel_secret_tool.exe"), win_path(d), FP, start_at) for _ in range(3)]
            results = [p.communicate(timeout=60) for p in procs]
            secrets = {out.strip() for out, _ in results}
            assert all(p.returncode == 0 for p in procs), results
            assert len(secrets) == 1, results
            assert len(secrets.pop()) == 64
            created = sum(err.count(b"channel.bin created") for _, err in results)
            assert created == 1, results
            tick = int(run(exe("tick_now.exe")).stdout)


@pytest.mark.slow
def test_a_creator_killed_at_any_moment_never_blocks_the_next_start():
    """100 creators killed at random moments while they create the secret: each leaves no
    channel.bin or a whole one, and the next start always gets a secret; the agent itself
    starts on a sample of the folders."""
    fp = json.loads(run(exe("ostrival_guardian.exe"), "--fingerprint").stdout)["fp"]
    rng = random.Random(10)
    seen = {"no file": 0, "whole file": 0, "temporary file left": 0}
    for trial in range(100):
        with tempfile.TemporaryDirectory() as d:
            for launch in range(3):
                creator = subprocess.Popen([WINE_RUN, exe("channel_secret_tool.exe"), win_path(d), fp, "0", "announce"],
                                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                line = creator.stderr.readline()
                if line == b"creating\n":
                    break
                # Now and then Wine ends a program before its first line; it never ran.
                creator.kill()
                assert creator.communicate(timeout=60) == (b"", b"") and not line and launch < 2, (trial, line)
            # Half of the kills aim at the few milliseconds the creation takes.
            time.sleep(rng.uniform(0, 0.006 if trial % 2 else 0.05))
            creator.kill()
            creator.communicate(timeout=60)
            had_file = os.path.exists(os.path.join(d, "channel.bin"))
            seen["whole file" if had_file else "no file"] += 1
            seen["temporary file left"] += any(n.endswith(".tmp") for n in os.listdir(d))

            for launch in range(3):
                r = run(exe("channel_secret_tool.exe"), win_path(d), fp)
                if r.stdout or r.stderr or launch == 2:  # it ran (see above)
                    break
            assert r.returncode == 0, (trial, r.returncode, r.stdout, r.stderr)
            assert (b"INFO  channel.bin created" in r.stderr) != had_file, (trial, r.stderr)
            # What the killed creator left half done is gone; nothing else is left behind.
            assert os.listdir(d) == ["channel.bin"], (trial, os.listdir(d))
            if trial % 10 == 0:
                assert start_agent(win_path(d)).interrupt() == 0
    print(seen)
    assert seen["no file"] and seen["whole file"], seen


def test_a_secret_that_does_not_open_is_kept_while_start_up_waits_and_a_stop_ends_the_wait(storage):
    """channel.bin sealed under another fingerprint: start-up waits for the identity to settle
    (it never will here), leaves the file alone, and Ctrl+C ends the wait as an ordinary stop."""
    assert secret_tool(storage[0]).returncode == 0
    blob = open(os.path.join(storage[0], "channel.bin"), "rb").read()
    agent = Console(exe("ostrival_guardian.exe"), "--console", env={"OV_STORAGE_DIR": storage[1]})
    assert agent.wait_for(b"WARN  channel.bin does not open under fingerprint ")  # an identity WMI gave whole
    time.sleep(3)  # a few passes
    began = time.monotonic()
    assert agent.interrupt() == 0
    assert time.monotonic() - began < 10
    assert agent.stderr.endswith(b"INFO  guardian stopped\r\n") and b"ERROR" not in agent.stderr, agent.stderr
    assert agent.stderr.count(b"WARN") == 1
    assert open(os.path.join(storage[0], "channel.bin"), "rb").read() == blob
