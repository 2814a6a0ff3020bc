"""The installed agent across a machine's life: reboots (the Wine session ended and a new one
started, during whose boot the SCM starts the service), a second agent beside the service, an
upgrade in place, the removal, and what the service reports to the Event Log.

A reboot ends every program of the prefix, so this module never runs in lane 0, whose prefix the
unit tests share (tests/CMakeLists.txt). Each test leaves the session running, as the test run
started it, and the prefix without the service."""
import json
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import BIN, WINEPREFIX, Console, copy_program, exe, run, win_path
from test_service import (AGENT, INSTALLED, REMOVED, SERVICE, SERVICE_STOPPED, STORAGE, UP_LINE, config_of,  # noqa: F401
                          event_log_entries, fresh_storage, installed, log_text, no_service, scm_ready, settle_scm, shown_as,
                          statuses, tool, wait_for_log)

SESSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "wine-session.sh")
CHANNEL = os.path.join(STORAGE, "channel.bin")


def reboot(debug_file=None):
    """Ends the Wine session and boots a new one, then waits until the SCM takes commands. With
    debug_file, the new session's services print their Event Log entries there."""
    subprocess.run(["sh", SESSION, "stop", WINEPREFIX], check=True, timeout=120)
    subprocess.run(["sh", SESSION, "start", WINEPREFIX] + ([str(debug_file)] if debug_file else []), check=True,
                   timeout=120)
    settle_scm()


def session_events(debug_file):
    """The Event Log entries the session's services reported (see event_log_entries)."""
    return event_log_entries(open(debug_file, encoding="utf-8", errors="replace").read())


@pytest.fixture
def traced_session(tmp_path):
    """A session whose services print their Event Log entries to a file."""
    reboot(tmp_path / "session-debug.txt")
    yield tmp_path / "session-debug.txt"
    reboot()


def make_secret(folder, fingerprint):
    os.makedirs(folder, exist_ok=True)
    assert run(exe("channel_secret_tool.exe"), win_path(folder), fingerprint).returncode == 0


def peer_valid_within(seconds, program=AGENT):
    deadline = time.monotonic() + seconds
    while True:
        r = run(program, "--peer")
        if r.returncode == 0 and r.stdout.endswith(b"mac: valid\n"):
            return
        assert time.monotonic() < deadline, (r.returncode, r.stderr, log_text())
        time.sleep(1)


def secret_file():
    with open(CHANNEL, "rb") as f:
        return f.read()


def install(program=AGENT):
    installed(run(program, "--install"))


def placed(folder):
    """The agent and its DLLs copied into folder (replacing what is there); the agent's path."""
    folder.mkdir(exist_ok=True)
    for name in os.listdir(BIN):
        if name == "ostrival_guardian.exe" or name.endswith(".dll"):
            shutil.copy2(os.path.join(BIN, name), folder / name)
    return str(folder / "ostrival_guardian.exe")


def test_the_service_keeps_its_channel_across_reboots(no_service):
    install()
    wait_for_log(UP_LINE)
    peer_valid_within(30)
    secret = secret_file()
    parts = re.search(r" parts (\d); storage ", log_text()).group(1)

    # At boot the service may see less of the machine than a client later does; it waits
    # until the secret opens instead of failing.
    waited = []
    for _ in range(2):
        mark = len(log_text())
        reboot()
        peer_valid_within(60)
        after = log_text()[mark:]
        assert "ERROR" not in after and f" parts {parts}; storage " in after, after
        assert secret_file() == secret
        waited += re.findall(r"INFO  identity settled after ([\d.]+) s", after)

    # No secret at boot: the one the service makes then opens for a client started afterwards.
    os.remove(CHANNEL)
    mark = len(log_text())
    reboot()
    peer_valid_within(60)
    after = log_text()[mark:]
    assert after.count("INFO  channel.bin created") == 1 and f" parts {parts}; storage " in after, after
    waited += re.findall(r"INFO  identity settled after ([\d.]+) s", after)
    print("start-up waited at boot (s):", waited)


def test_a_second_agent_is_refused_at_once_and_the_service_keeps_serving(no_service, tmp_path):
    install()
    wait_for_log(UP_LINE)
    other = tmp_path / "other"
    for env in ({}, {"OV_STORAGE_DIR": win_path(str(other))}):
        began = time.monotonic()
        r = run(AGENT, "--console", env=env, timeout=60)
        assert r.returncode == 2 and time.monotonic() - began < 20, r.stderr
        errors = [line for line in r.stderr.split(b"\r\n") if b" ERROR " in line]
        assert len(errors) == 1, r.stderr
        assert re.search(rb"ERROR pipe \\\\\.\\pipe\\Ostrival\.Guardian is already served by process \d+ \(", errors[0])
        assert errors[0].endswith(b"(" + win_path(AGENT).encode() + b"); only one agent may run on a machine")
    # The refused agent left no secret of its own.
    assert not (other / "channel.bin").exists()
    peer_valid_within(10)


def test_an_upgrade_in_place_keeps_the_secret_and_removal_keeps_the_storage(no_service, program_dir):
    agent = placed(program_dir / "Ostrival")
    install(agent)
    wait_for_log(UP_LINE)
    peer_valid_within(30, agent)
    secret = secret_file()

    # Stop, replace the programs, install again: the same secret, a valid channel.
    assert tool("stop", SERVICE, "20000").returncode == 0
    placed(program_dir / "Ostrival")
    install(agent)
    peer_valid_within(30, agent)
    assert secret_file() == secret

    # Moved to a new folder: the registration follows it.
    assert tool("stop", SERVICE, "20000").returncode == 0
    moved = placed(program_dir / "Ostrival 2")
    install(moved)
    assert config_of()["path"] == '"' + win_path(moved) + '"'
    peer_valid_within(30, moved)

    r = run(moved, "--uninstall")
    assert (r.returncode, r.stdout) == (0, REMOVED)
    r = tool("status", SERVICE)
    assert r.returncode == 1 and b"(0x00000424)" in r.stderr  # the service is gone
    assert secret_file() == secret and os.path.isfile(os.path.join(STORAGE, "guardian.log"))


def test_the_service_reports_its_start_its_stop_and_a_failed_start_up_to_the_event_log(no_service, tmp_path):
    debug_file = tmp_path / "session-debug.txt"
    reboot(debug_file)
    try:
        install()
        wait_for_log(UP_LINE)
        assert tool("stop", SERVICE, "20000").returncode == 0
        # A file where the storage folder belongs: the start-up fails, and its log cannot be written.
        shutil.rmtree(STORAGE)
        open(STORAGE, "wb").close()
        assert tool("start", SERVICE).returncode == 0
        r = tool("wait", SERVICE, str(SERVICE_STOPPED), "120000")
        assert r.returncode == 0 and statuses(r.stdout)[-1][1:3] == (SERVICE_STOPPED, 1066), r.stdout
        entries = session_events(debug_file)
        # The first start made the channel secret, and said that clients must read it again.
        assert entries[:4] == [
            (4, 0x400003F3, [r"C:\ProgramData\Ostrival\guardian\channel.bin"]),
            (4, 0x400003E8, ["1.2.4", r"\\.\pipe\Ostrival.Guardian"]),
            (4, 0x400003E9, []),
            (1, 0xC00003EA, [r"storage dir unusable: C:\ProgramData\Ostrival\guardian (a file stands in its place)"]),
        ]
        assert len(entries) == 5 and entries[4][:2] == (2, 0x800003EF), entries
        assert entries[4][2][0] == r"C:\ProgramData\Ostrival\guardian\guardian.log", entries
        assert entries[4][2][1].endswith(" (0x00000003)"), entries  # the path is not found
        # A console run that fails the same way writes no entry at all.
        r = run(AGENT, "--console", env={"WINEDEBUG": "-all,+eventlog,fixme+advapi"}, timeout=120)
        assert r.returncode == 2 and b"ERROR storage dir unusable" in r.stderr and b"ReportEventW" not in r.stderr
    finally:
        reboot()


@pytest.mark.slow
def test_a_companion_that_holds_an_earlier_secret_is_never_reported_missing(no_service, traced_session, tmp_path):
    """The service's side of test_companion's case: after three checks, event 1005 says why,
    and never that the companion is missing."""
    installed(run(AGENT, "--install"))
    fingerprint = json.loads(run(AGENT, "--fingerprint").stdout)["fp"]
    make_secret(str(tmp_path / "earlier"), fingerprint)
    companion = Console(copy_program("ostrival_sentinel.exe", os.path.dirname(AGENT)),
                        env={"OV_STORAGE_DIR": win_path(str(tmp_path / "earlier"))})
    try:
        words = "it answers, but its reply does not verify under the agent's key: it may hold an earlier secret"
        wait_for_log("WARN  peer sentinel: unresponsive -> missing: " + re.escape(words) + "\r\n", timeout=150)
        [(kind, _, (count, why, todo))] = [e for e in session_events(traced_session) if e[1] == 0x800003ED]
        assert (kind, count, why) == (2, "3", words) and shown_as(todo, "restart the companion, so that it reads "
                                                                         "the channel secret again")
    finally:
        companion.interrupt()
