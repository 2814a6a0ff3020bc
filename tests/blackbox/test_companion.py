"""Supervision of the companion, seen from the agent's log and its "peer" reply."""
import json
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import Console, client, exe, run, start, start_agent, win_path

FAST = {"OV_WATCHDOG_INTERVAL_SEC": "1"}
NO_SERVER = b"no program serves \\\\.\\pipe\\Ostrival.Sentinel: the companion does not run\r\n"


def peer(storage_win):
    r = client("--peer", storage_win=storage_win)
    assert r.returncode == 0, r.stderr
    text = r.stdout.decode()
    return json.loads(text[:text.rindex("}") + 1])["body"]


def wait_count(console, needle, count, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if console.stderr.count(needle) >= count:
            return True
        time.sleep(0.1)
    return False


def start_companion(program, storage_win, *args):
    p = subprocess.Popen([os.environ["GUARDIAN_WINE_RUN"], program, *args],
                         env=dict(os.environ, OV_STORAGE_DIR=storage_win),
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return p


def stop_companion(p):
    try:
        p.stdin.close()
    except OSError:
        pass
    p.kill()
    p.wait()


@pytest.mark.slow
def test_missing_companion_then_sentinel_brings_it_back(storage):
    agent = start_agent(storage[1], FAST)
    sentinel = None
    try:
        before = peer(storage[1])
        # The first check comes a second after the start; a client started under load may come
        # after it. Either way the reply agrees with itself: "ok" only while not yet checked.
        if before["checked"]:
            assert (before["peer"], before["reason"]) == ("unresponsive", "no_server")
        else:
            assert (before["peer"], before["reason"]) == ("ok", "")
        assert wait_count(agent, b"WARN  peer sentinel: not checked yet -> unresponsive: " + NO_SERVER, 1)
        assert b"WARN  peer ping failed: no_server\r\n" in agent.stderr
        first = peer(storage[1])
        assert first["peer"] == "unresponsive" and first["since"] >= before["since"]
        assert (first["checked"], first["reason"]) == (True, "no_server")
        assert wait_count(agent, b"WARN  peer sentinel: unresponsive -> missing: " + NO_SERVER, 1)
        text = agent.stderr.decode()
        # The change to missing came with the third failed check.
        failures_before_missing = text[:text.index("unresponsive -> missing")].count("peer ping failed: no_server")
        assert failures_before_missing == 3
        assert wait_count(agent, b"peer ping failed: no_server", 5)
        missing = peer(storage[1])
        assert missing["peer"] == "missing"
        time.sleep(1.5)
        assert peer(storage[1])["since"] == missing["since"]  # no change, no new time

        sentinel = Console(exe("ostrival_sentinel.exe"), env={"OV_STORAGE_DIR": storage[1]})
        assert sentinel.wait_for(b"sentinel 1.2.4 serving")
        assert wait_count(agent, b"WARN  peer sentinel: missing -> ok\r\n", 1)
        back = peer(storage[1])
        assert (back["peer"], back["checked"], back["reason"]) == ("ok", True, "")
    finally:
        if sentinel:
            sentinel.interrupt()
        assert agent.interrupt() == 0


def test_sentinel_from_another_folder_is_untrusted(storage, tmp_path):
    folder = tmp_path / "other"
    folder.mkdir()
    for f in ("ostrival_sentinel.exe", "libgcrypt-20.dll", "libgpg-error-0.dll"):
        shutil.copy(exe(f), folder)
    agent = start_agent(storage[1], FAST)
    sentinel = Console(str(folder / "ostrival_sentinel.exe"), env={"OV_STORAGE_DIR": storage[1]})
    try:
        assert sentinel.wait_for(b"sentinel 1.2.4 serving")
        assert wait_count(agent, b"WARN  peer ping failed: untrusted_server\r\n", 2)
        # A check a second: by the time the request is answered, a third may have made it missing.
        body = peer(storage[1])
        assert body["peer"] in ("unresponsive", "missing") and body["reason"] == "untrusted_server", body
        assert b"unresponsive: the program that serves \\\\.\\pipe\\Ostrival.Sentinel does not run from the " \
            b"agent's folder" in agent.stderr
        # --diagnose names the program that serves it, and its process.
        checks = json.loads(client("--diagnose", "--json", storage_win=storage[1]).stdout)["checks"]
        companion = next(c for c in checks if c["check"] == "companion")
        squatter = win_path(str(folder / "ostrival_sentinel.exe"))
        assert companion["state"] == "untrusted_server" and re.search(
            r"so the agent does not trust it; it is process \d+ \(" + re.escape(squatter) + r"\) \(the agent",
            companion["found"]), companion
        # The name is taken: the suite's own companion refuses to share it, and says by whom.
        r = run(exe("ostrival_sentinel.exe"), env={"OV_STORAGE_DIR": storage[1]}, timeout=60)
        assert r.returncode == 2
        assert b"ERROR sentinel: pipe \\\\.\\pipe\\Ostrival.Sentinel is already served by process " in r.stderr
        squatter = win_path(str(folder / "ostrival_sentinel.exe")).encode()
        assert r.stderr.endswith(b" (" + squatter + b"); only one companion may run on a machine\r\n"), r.stderr
        assert sentinel.proc.poll() is None
    finally:
        sentinel.interrupt()
        assert agent.interrupt() == 0


def test_a_companion_that_holds_an_earlier_secret_is_told_from_a_missing_one(storage, tmp_path):
    """A companion started before the agent made a new secret answers with replies that do not
    verify: the log, "peer" and --diagnose say so and what to do, and never call it gone."""
    earlier = win_path(str(tmp_path))
    assert start_agent(earlier).interrupt() == 0  # the earlier secret
    agent = start_agent(storage[1], FAST)
    sentinel = Console(exe("ostrival_sentinel.exe"), env={"OV_STORAGE_DIR": earlier})
    try:
        words = b"it answers, but its reply does not verify under the agent's key: it may hold an earlier secret"
        assert wait_count(agent, b"unresponsive: " + words + b"\r\n", 1), agent.stderr
        assert b"WARN  peer ping failed: bad_response\r\n" in agent.stderr
        assert peer(storage[1])["reason"] == "not_authentic"
        checks = json.loads(client("--diagnose", "--json", storage_win=storage[1]).stdout)["checks"]
        companion = next(c for c in checks if c["check"] == "companion")
        assert (companion["state"], companion["todo"]) == (
            "not_authentic", "restart the companion, so that it reads the channel secret again"), companion
        assert re.fullmatch(r"ostrival_sentinel\.exe fails the agent's checks \((unresponsive|missing) since \S+Z\): "
                            + re.escape(words.decode()) + r" \(the agent serves its applications without it\)",
                            companion["found"]), companion
        assert wait_count(agent, b"WARN  peer sentinel: unresponsive -> missing: " + words, 1)
    finally:
        sentinel.interrupt()
        assert agent.interrupt() == 0


# A reply nested 32,000 deep is refused unparsed; a reply trickled one byte a second ends at
# the check's 5 s deadline. Either way the state moves on and the agent keeps serving.
@pytest.mark.parametrize("mode,error", [("other_nonce", "bad_response"), ("bad_mac", "bad_response"),
                                        ("not_ok", "bad_response"), ("nested", "bad_json"),
                                        pytest.param("trickle", "io", marks=pytest.mark.slow)])
def test_wrong_answers_fail_the_check(storage, mode, error):
    agent = start_agent(storage[1], FAST)
    fake = start_companion(exe("fake_sentinel.exe"), storage[1], mode)
    try:
        assert fake.stdout.readline() == b"ready\n"
        assert wait_count(agent, b"WARN  peer ping failed: %s\r\n" % error.encode(), 2)
        assert peer(storage[1])["peer"] in ("unresponsive", "missing")
        assert client("--ping", storage_win=storage[1]).returncode == 0
    finally:
        stop_companion(fake)
        assert agent.interrupt() == 0


@pytest.mark.slow
def test_silent_companion_never_holds_up_the_agents_own_requests(storage):
    agent = start_agent(storage[1], FAST)
    fake = start_companion(exe("fake_sentinel.exe"), storage[1], "silent")
    try:
        assert fake.stdout.readline() == b"ready\n"
        assert fake.stdout.readline() == b"accepted\n"  # a check is now waiting for its answer
        t0 = time.monotonic()
        assert peer(storage[1])["peer"] in ("ok", "unresponsive", "missing")
        assert time.monotonic() - t0 < 4
        assert wait_count(agent, b"WARN  peer ping failed: io\r\n", 1, timeout=20)
    finally:
        stop_companion(fake)
        assert agent.interrupt() == 0


@pytest.mark.slow
def test_deaf_companion_gives_io_and_ctrl_c_during_the_check_still_stops(storage):
    agent = start_agent(storage[1], FAST)
    fake = start_companion(exe("fake_sentinel.exe"), storage[1], "deaf")
    try:
        assert fake.stdout.readline() == b"ready\n"
        assert wait_count(agent, b"WARN  peer ping failed: io\r\n", 1, timeout=20)
        # Interrupt while the next check waits on the companion.
        assert fake.stdout.readline() == b"accepted\n"
        assert fake.stdout.readline() == b"accepted\n"
        t0 = time.monotonic()
        assert agent.interrupt(timeout=20) == 0
        # The check is cut short by the stop; under Wine the process itself sometimes takes a
        # few seconds more to go away after its last line.
        assert time.monotonic() - t0 < 8, agent.stderr.decode()
        assert agent.stderr.endswith(b"INFO  guardian stopped\r\n")
    finally:
        stop_companion(fake)
        agent.kill()
