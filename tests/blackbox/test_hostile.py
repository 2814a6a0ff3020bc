"""Hostile local programs against the running agent: a flood of idle connections, a trickled
frame, forged log lines, a loop of refused requests, a server that answers too deep, programs
that try to add instances of the agent's and the companion's pipes, and a stop with every
connection held."""
import json
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

from conftest import Console, client, copy_program, exe, raw, run, start, start_agent, win_path

MAX_UNTRUSTED = 16
UNTRUSTED_LINE = re.compile(r"WARN  pipe: (untrusted client pid |\d+ more refused without a line)")


def linux_pid(agent):
    """The agent's process as the host sees it: wine-run execs down to the program itself,
    and every Windows thread of the agent is a thread of this process."""
    pid = agent.proc.pid
    with open(f"/proc/{pid}/cmdline", "rb") as f:
        assert b"ostrival_guardian.exe" in f.read()
    return pid


def threads_and_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    return int(status["Threads"]), int(status["VmRSS"].split()[0])


def log_lines(storage_host):
    with open(os.path.join(storage_host, "guardian.log"), "rb") as f:
        return f.read().decode("utf-8", "replace").split("\r\n")


@pytest.mark.slow
def test_untrusted_flood_is_bounded_and_trusted_clients_are_served(storage, tmp_path):
    agent = start_agent(storage[1])
    try:
        pid = linux_pid(agent)
        with open(f"/proc/{pid}/maps") as f:  # loaded only by the commands that use them, or for one call
            assert not re.search(r"winhttp|libgcrypt|ole32|oleaut32|crypt32|shell32", f.read(), re.IGNORECASE)
        time.sleep(1)
        idle_threads, idle_rss = threads_and_rss_kib(pid)
        stranger = copy_program("raw_pipe_client.exe", str(tmp_path / "elsewhere"))
        env = {"OV_STORAGE_DIR": storage[1]}
        flood = start(stranger, "flood:2000", "sleep:15000", env=env)
        pings = start(exe("raw_pipe_client.exe"), "repeat:20:ping", "sleep:4000", "repeat:20:ping", env=env)
        peak_threads, peak_rss = idle_threads, idle_rss
        while flood.poll() is None:
            threads, rss = threads_and_rss_kib(pid)
            peak_threads, peak_rss = max(peak_threads, threads), max(peak_rss, rss)
            time.sleep(0.2)
        flooded = flood.stdout.read().decode()
        assert "flood opened=2000 failed=0" in flooded
        out, _ = pings.communicate(timeout=120)
        assert out.decode().splitlines() == ["repeat ok=20 failed=0"] * 2
        # Connections cost no thread: the workers that serve them all exist from the start.
        assert peak_threads <= idle_threads, (idle_threads, peak_threads)
        assert peak_rss <= idle_rss + 64 * 1024, (idle_rss, peak_rss)
        # The flood has closed its connections: the threads are gone within 10 s.
        deadline = time.monotonic() + 10
        while threads_and_rss_kib(pid)[0] > idle_threads and time.monotonic() < deadline:
            time.sleep(0.2)
        assert threads_and_rss_kib(pid)[0] <= idle_threads
    finally:
        code = agent.interrupt()
    assert code == 0
    assert agent.stderr.endswith(b"INFO  guardian stopped\r\n")
    refused = [l for l in log_lines(storage[0]) if UNTRUSTED_LINE.search(l)]
    assert 1 <= len(refused) <= 10 and any("connections is in use" in l for l in refused)


@pytest.mark.slow
def test_trickled_frame_from_an_untrusted_client_ends_at_thirty_seconds(agent, storage, tmp_path):
    stranger = copy_program("raw_pipe_client.exe", str(tmp_path / "elsewhere"))
    # 17 bytes, one every 4 s: 64 s if the frame were waited for byte by byte.
    lines = raw("connect", 'trickle:4000:{"op":"ping"}', storage_win=storage[1], program=stranger)
    m = re.fullmatch(r"trickle sent=(\d+) of 17 in (\d+) ms", lines[-1])
    assert m and int(m.group(1)) < 17, lines
    assert 29000 <= int(m.group(2)) <= 40000, lines


def test_op_holding_a_forged_line_leaves_exactly_one_line(agent, storage):
    forged = "2026-01-01T00:00:00.000Z [1] INFO  guardian forged line"
    raw("connect", 'frame:{"op":"x\\r\\n%s","nonce":"n"}' % forged, "read", storage_win=storage[1])
    assert agent.interrupt() == 0
    lines = [l for l in log_lines(storage[0]) if "forged line" in l]
    assert lines == [lines[0]] and "WARN  pipe: bad mac for op x\\r\\n" + forged in lines[0]
    assert not any(l.startswith("2026-01-01T00:00:00.000Z") for l in log_lines(storage[0]))


def test_a_client_from_a_folder_named_to_deceive_is_logged_escaped(agent, storage, tmp_path):
    """U+202E reverses what follows it on a screen, U+009B starts a terminal's command."""
    stranger = copy_program("raw_pipe_client.exe", str(tmp_path / "gpj.\u202eexe\u009b2J"))
    raw("connect", 'frame:{"op":"ping"}', "read", storage_win=storage[1], program=stranger)
    assert agent.interrupt() == 0
    [line] = [l for l in log_lines(storage[0]) if "untrusted client pid " in l]
    assert "gpj.\\u202eexe\\u009b2J\\raw_pipe_client.exe" in line, line
    deceiving = "[\x00-\x09\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\u2028\u2029]"
    assert not re.search(deceiving, line)
    # --diagnose shows it among the log's last lines by the same rule, as text and as JSON.
    for args in (("--diagnose",), ("--diagnose", "--json")):
        shown = client(*args, storage_win=storage[1]).stdout.decode()  # strict: no byte that is no UTF-8
        assert "gpj." in shown and not re.search(deceiving, shown), shown
    assert "gpj.\\u202eexe" in json.loads(shown)["checks"][-2]["lines"][-1]


def guard(folder, randoms, *extra):
    """storage_guard_tool on folder/Ostrival/guardian, as LocalSystem: {"dir", "fallback", "refused",
    "warning": [...]}."""
    r = run(exe("storage_guard_tool.exe"), win_path(str(folder / "Ostrival" / "guardian")), randoms, *extra)
    assert r.returncode == 0, r.stderr
    found = {"warning": []}
    for line in r.stdout.decode().splitlines():
        key, _, value = line.partition("=")
        found["warning"].append(value) if key == "warning" else found.setdefault(key, value)
    return found


def test_nothing_a_user_makes_in_place_of_the_storage_folder_keeps_localsystem_from_a_folder(tmp_path):
    """The storage check as the service makes it, on a folder standing for ProgramData: what a
    user made there is moved aside under a name nobody could make beforehand, or, when it cannot
    be moved, left unused for a folder of the agent's own; a link's target never moves."""
    ostrival, guardian_dir = tmp_path / "Ostrival", win_path(str(tmp_path / "Ostrival" / "guardian"))
    target = tmp_path / "target"
    target.mkdir()
    (target / "kept").write_bytes(b"x")
    os.symlink(target, ostrival)
    found = guard(tmp_path, "1a2b3c4d")
    assert sorted(os.listdir(target)) == ["kept"] and os.readlink(ostrival) == str(target)
    if found["fallback"]:
        # Wine opens what a host symbolic link points to, even in place: renaming that handle
        # would move the target, so the link is left and a folder of the agent's own is used.
        fallback = win_path(str(tmp_path / "Ostrival-1a2b3c4d" / "guardian"))
        assert found["dir"] == fallback and found["fallback"].startswith(
            f"storage dir {guardian_dir} cannot be used: {win_path(str(ostrival))}: a link or junction stands in its "
            f"place") and f"using {fallback} instead" in found["fallback"], found
        os.remove(ostrival)
    else:  # Windows opens the link itself, which is moved aside
        assert found["dir"] == guardian_dir and "the link itself moved to" in found["warning"][0], found
        shutil.rmtree(ostrival)

    # A level that a handle could rename is moved aside, past a name made beforehand.
    ostrival.mkdir()
    now = time.time()
    for second in range(-1, 6):
        stamp = time.strftime("%Y%m%d%H%M%S", time.gmtime(now + second))
        (tmp_path / f"Ostrival.untrusted-{stamp}-aaaa").mkdir()
    found = guard(tmp_path, "aaaa,bbbb", "hold:7:" + win_path(str(ostrival)))
    assert (found["dir"], found["fallback"], found["refused"]) == (guardian_dir, "", ""), found
    assert re.search(r"was open in another program that could move it; moved to .*Ostrival\.untrusted-\d{14}-bbbb "
                     "and created anew", found["warning"][0]), found
    # Held without delete sharing by such a handle, it cannot be moved: a folder of its own, not
    # a name already taken, and the same one again at the next start.
    (tmp_path / "Ostrival-cccccccc").mkdir()
    held = "hold:3:" + win_path(str(ostrival))
    found = guard(tmp_path, "cccccccc,dddddddd", held)
    fallback = win_path(str(tmp_path / "Ostrival-dddddddd" / "guardian"))
    assert found["dir"] == fallback and "could not be moved aside" in found["fallback"], found
    assert guard(tmp_path, "eeeeeeee", held, "recorded:" + fallback)["dir"] == fallback


@pytest.mark.slow
def test_refused_requests_cannot_rotate_the_log_however_they_are_sent(agent, storage, tmp_path):
    stranger = copy_program("raw_pipe_client.exe", str(tmp_path / "elsewhere"))
    s = storage[1]
    # 10,000 on one connection, then 10,000 each on a connection of its own.
    assert raw("connect", 'frames:10000:{"op":"ping"}', storage_win=s, program=stranger,
               timeout=600)[-1] == "frames replied=10000"
    assert raw("unpinned", "repeat:10000:ping", storage_win=s, program=stranger,
               timeout=900)[-1] == "repeat ok=0 failed=10000 bad_reply=10000"
    assert agent.interrupt() == 0
    refused = [l for l in log_lines(storage[0]) if UNTRUSTED_LINE.search(l)]
    assert len(refused) <= 100
    # Nothing is hidden: each line stands for one refusal plus the ones it says were left out.
    told = sum(int(n) for l in refused for n in re.findall(r"(\d+) more refused without a line", l))
    assert told + sum(1 for l in refused if "untrusted client pid " in l) == 20000


def test_server_reply_nested_too_deep_is_refused_and_the_client_lives(storage):
    agent = start_agent(storage[1])  # only to make channel.bin
    assert agent.interrupt() == 0
    # It serves until its standard input closes.
    fake = start(exe("fake_sentinel.exe"), "--pipe", r"\\.\pipe\Ostrival.Guardian", "nested",
                 env={"OV_STORAGE_DIR": storage[1]}, stdin=subprocess.PIPE)
    try:
        assert fake.stdout.readline() == b"ready\n"
        r = client("--ping", storage_win=storage[1])
        assert (r.returncode, r.stderr, r.stdout) == (3, b"pipe error: bad_json\n", b"")
    finally:
        fake.stdin.close()
        fake.kill()
        fake.wait()


def suite_gets_through(storage, attack):
    """The agent and the companion, with attack(env) started against both pipes (its processes,
    each asked to end and waited for at the end): 30 of 30 client requests get an authentic
    reply within 5 s, the companion stays "ok" and the agent's checks of it all get through.
    The attack processes' output and the agent's lines."""
    agent = start_agent(storage[1], {"OV_WATCHDOG_INTERVAL_SEC": "1"})
    env = {"OV_STORAGE_DIR": storage[1]}
    sentinel = Console(exe("ostrival_sentinel.exe"), env=env)
    attackers, outputs = [], []
    try:
        assert sentinel.wait_for(b"sentinel 1.2.4 serving")
        attackers = attack(env)
        slowest = 0
        for i in range(30):
            t0 = time.monotonic()
            r = client("--ping" if i % 2 else "--peer", storage_win=storage[1], timeout=60)
            slowest = max(slowest, time.monotonic() - t0)
            assert r.returncode == 0 and r.stdout.endswith(b"mac: valid\n"), (i, r.stdout, r.stderr)
            if i % 2 == 0:
                assert json.loads(r.stdout[:r.stdout.rindex(b"}") + 1])["body"]["peer"] == "ok", r.stdout
        print("slowest request: %.2f s" % slowest)
        assert slowest < 5
        assert b"peer ping failed" not in agent.stderr
        outputs = [p.communicate(timeout=120)[0].decode() for p in attackers]
    finally:
        for p in attackers:
            p.kill()
            p.wait()
        sentinel.interrupt()
        assert agent.interrupt() == 0
    return outputs, log_lines(storage[0])


PIPES = (r"\\.\pipe\Ostrival.Guardian", r"\\.\pipe\Ostrival.Sentinel")


@pytest.mark.slow
def test_no_program_can_add_instances_of_the_agents_or_the_companions_pipe(storage, tmp_path):
    def squat(env):
        stranger = copy_program("raw_pipe_client.exe", str(tmp_path / "elsewhere"))
        squatters = [start(stranger, "--pipe", pipe, "squat:16", "sleep:20000", env=env) for pipe in PIPES]
        for p in squatters:
            assert p.stdout.readline().rstrip() == b"squat made=0 of 16 error=231"
        return squatters

    suite_gets_through(storage, squat)


@pytest.mark.slow
def test_programs_holding_every_connection_they_can_leave_room_for_the_suite(storage):
    """Programs of the agent's folder, as the same user as everyone else here, take every
    connection they can of both pipes and keep them alive; the suite's requests and the agent's
    checks of the companion still get through, each within 5 s."""
    def hold(env):
        holders = [start(exe("raw_pipe_client.exe"), "--pipe", pipe, "hold:64:15000:50000", env=env)
                   for pipe in PIPES for _ in range(3)]
        time.sleep(3)
        return holders

    held, lines = suite_gets_through(storage, hold)
    # Each holder had what it could take, and was brought back to its share again and again.
    for out in held:
        m = re.fullmatch(r"hold most=(\d+) ended=(\d+) pings=\d+\r?\n", out)
        assert m and int(m.group(2)) > 0, held
    ended = [l for l in lines if "pipe: ended an idle connection of pid " in l]
    assert 1 <= len(ended) <= 10, ended
    assert re.search(r"user S-1-5-[\d-]+: its (process holds|user's processes hold) more than", "\n".join(ended)), ended


def test_ctrl_c_ends_the_agent_within_a_second_with_every_connection_held_and_requests_queued(storage):
    agent = start_agent(storage[1])
    # One connection that keeps requests queued: it never reads the replies, so the agent's
    # reply writes wait for it, and its next requests wait behind them. Then 63 idle ones,
    # opened at once: the stop comes within their first second, before any of them could be
    # ended for its process's share.
    holder = start(exe("raw_pipe_client.exe"), "connect", 'queue:2000:{"op":"ping"}', "flood:63", "sleep:60000",
                   env={"OV_STORAGE_DIR": storage[1]})
    try:
        lines = [holder.stdout.readline().rstrip() for _ in range(3)]
        assert lines[0] == b"connected" and lines[2] == b"flood opened=63 failed=0", lines
        assert re.fullmatch(rb"queue sent=\d+ of 2000", lines[1]), lines
        t0 = time.monotonic()
        agent.proc.send_signal(signal.SIGINT)
        assert agent.wait_for(b"INFO  guardian stopped\r\n", timeout=10)
        assert time.monotonic() - t0 < 1.0
        assert agent.interrupt() == 0
    finally:
        holder.kill()
        holder.wait()
        agent.kill()
