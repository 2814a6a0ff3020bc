"""The client library inside an application's process, through its C test programs (header and
import library only): a host that exits with a call pending, identity passes shared and
remembered, the agent's refusal of an application outside its folder, a limit for a whole call,
and the 32-bit library in a subfolder of the agent's folder."""
import os
import re
import shutil
import subprocess
import time

import pytest

from conftest import copy_program, exe, run, start, start_agent, win_path

FP = "ab" * 32


def tool(*args, program=None, env=None, timeout=300):
    """Runs the client library's test program; (its lines, seconds it took)."""
    started = time.monotonic()
    r = run(program or exe("client_library_tool.exe"), *args, env=env, timeout=timeout)
    took = time.monotonic() - started
    print("tool %r: exit %d in %.1f s, output %r, errors %r" % (args, r.returncode, took, r.stdout, r.stderr))
    assert r.returncode == 0, (r.stdout, r.stderr)
    return r.stdout.decode().splitlines(), took


@pytest.fixture
def fake_agent_folder(tmp_path):
    """A folder whose ostrival_guardian.exe is the stand-in identity program: (host, Windows path)."""
    folder = tmp_path / "fake-agent"
    folder.mkdir()
    shutil.copy(exe("fake_identity.exe"), folder / "ostrival_guardian.exe")
    return folder, win_path(str(folder))


@pytest.fixture
def silent_pipe():
    """A trusted pipe server (in the library's folder) that reads requests and never answers."""
    pipe = r"\\.\pipe\Ostrival.Test.Silent"
    silent = start(exe("fake_sentinel.exe"), "--pipe", pipe, "silent", stdin=subprocess.PIPE)
    try:
        assert silent.stdout.readline() == b"ready\n"
        yield pipe
    finally:
        silent.kill()
        silent.wait()


def test_a_plug_in_that_closes_its_client_at_exit_with_a_call_pending_lets_the_host_end(agent, storage,
                                                                                         silent_pipe):
    lines, took = tool("exit-pending", storage[1], silent_pipe, "-", "call")
    # ExitProcess has ended the thread of the pending call before the plug-in's DllMain runs:
    # close does not wait for it.
    assert lines[0] == "exiting" and lines[1].startswith("detach closed "), lines
    assert int(lines[1].split()[2]) < 1000 and took < 10, (lines, took)


def test_the_identity_child_ends_with_a_host_that_exits_during_the_pass(storage, fake_agent_folder, tmp_path):
    beat = tmp_path / "beat"
    env = {"FAKE_IDENTITY": "hang", "FAKE_IDENTITY_BEAT": win_path(str(beat))}
    lines, took = tool("exit-pending", storage[1], r"\\.\pipe\Ostrival.Test.None", fake_agent_folder[1], "pass",
                       env=env)
    assert lines[0] == "exiting" and lines[1].startswith("detach closed "), lines
    assert took < 10 and beat.exists()
    # The child ran in a job that ended with the host: it beats no more.
    time.sleep(0.5)
    size = beat.stat().st_size
    time.sleep(1.0)
    assert beat.stat().st_size == size


def test_threads_that_need_the_identity_share_one_pass_and_its_failure_is_remembered(storage, fake_agent_folder,
                                                                                      tmp_path):
    log = tmp_path / "runs"
    env = {"FAKE_IDENTITY": "fail:2000", "FAKE_IDENTITY_LOG": win_path(str(log))}
    lines, _ = tool("passes", storage[1], fake_agent_folder[1], "4", env=env)
    passes = [line.split() for line in lines if line.startswith("pass ")]
    after = [line.split() for line in lines if line.startswith("after ")]
    print("identity passes (ms):", [int(p[2]) for p in passes], "calls after (ms):", [int(a[2]) for a in after])
    assert len(passes) == 4 and all(p[1] == "no_key" for p in passes), lines
    # One pass of about 2 s for all four, not one after another.
    assert all(1900 <= int(p[2]) < 4500 for p in passes), lines
    assert len(after) == 4 and all(a[1] == "no_key" and int(a[2]) < 100 for a in after), lines
    assert log.read_text().count("run ") == 1
    failure = [line for line in lines if line.startswith("failure ")][0]
    assert "ostrival_guardian.exe ended with exit code 3" in failure and "remembered" in failure, failure


def test_without_the_identity_program_the_failure_names_it(storage, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    lines, _ = tool("passes", storage[1], win_path(str(empty)), "1")
    assert lines[0].startswith("pass no_key ")
    assert "CreateProcess " in lines[-1] and "ostrival_guardian.exe" in lines[-1], lines


def test_a_process_that_takes_the_identity_pipe_first_only_delays_the_pass(storage, fake_agent_folder, tmp_path):
    log = tmp_path / "runs"
    env = {"FAKE_IDENTITY": "squat:" + FP, "FAKE_IDENTITY_LOG": win_path(str(log))}
    lines, _ = tool("passes", storage[1], fake_agent_folder[1], "1", env=env)
    runs = log.read_text().splitlines()
    print(runs)
    # Another process connected first: it was disconnected, and the child's identity taken
    # (channel.bin is then looked for, and missing).
    assert "held" in runs and lines[0].startswith("pass no_key "), (lines, runs)
    assert "is missing" in lines[-1], lines
    # The pipe admits this user and LocalSystem only (its label is the unit tests': Wine
    # reports none for a pipe).
    sddl = [line for line in runs if line.startswith("pipe ")][0]
    assert re.match(r"pipe D:P\(A;;[FG]A;;;S-[-0-9]+\)\(A;;[FG]A;;;SY\)(S:|$)", sddl), sddl


def test_the_identity_pass_outlives_the_calls_that_give_up_on_it(storage, fake_agent_folder, tmp_path):
    log = tmp_path / "runs"
    env = {"FAKE_IDENTITY": "fp:" + FP, "FAKE_IDENTITY_DELAY": "1500", "FAKE_IDENTITY_LOG": win_path(str(log))}
    lines, _ = tool("background", storage[1], fake_agent_folder[1], "300", "4000", env=env)
    limit, again = lines[0].split(), [line.split() for line in lines if line.startswith("again ")]
    assert limit[1] == "no_key" and 250 <= int(limit[2]) < 1000, lines
    assert re.search(r"no result within \d{3} ms", lines[1]) and lines[2] == "cancelled cancelled", lines
    # Both passes ran on to their end: the calls after them take the identity at once.
    assert len(again) == 2 and all(a[1] == "no_key" and int(a[2]) < 500 for a in again), lines
    assert all("is missing" in line for line in lines[-3::2]), lines
    assert log.read_text().count("run ") == 2


def test_a_32_bit_library_outside_an_x86_folder_trusts_its_own_folder(storage):
    folder = exe("x86-copy-%d" % os.getpid())
    shutil.copytree(exe("x86"), folder)
    try:
        lines, _ = tool("refused", storage[1], program=os.path.join(folder, "client_library_tool.exe"))
    finally:
        shutil.rmtree(folder)
    # Not the agent's folder above it: its own, which holds no identity program.
    assert lines[0].startswith("refused no_key ") and "CreateProcess " in lines[-1], lines
    assert os.path.basename(folder) + "\\ostrival_guardian.exe" in lines[-1], lines


def test_a_thread_that_takes_an_ended_threads_id_has_no_failure_to_read(storage):
    lines, _ = tool("reuse", storage[1])
    assert lines == ["reuse none"] or re.fullmatch(r"reuse \d+ \[\]", lines[0]), lines


def test_an_application_outside_the_agents_folder_is_told_untrusted_client(agent, storage, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    program = copy_program("client_library_tool.exe", str(elsewhere))
    shutil.copy(exe("ostrival_guardian_client.dll"), elsewhere)
    # The identity program comes from the agent's folder, which server_folder names.
    lines, took = tool("refused", storage[1], win_path(exe("")), program=program)
    assert [line.split()[:2] for line in lines[:2]] == [["refused", "untrusted_client"]] * 2, lines
    assert int(lines[0].split()[2]) < 1000 and int(lines[1].split()[2]) < 200, lines
    assert "untrusted_client" in lines[2], lines


@pytest.mark.slow
def test_a_limit_for_the_whole_call_ends_it(agent, storage, silent_pipe):
    # The first call computes the identity and reads the key (a second or so), then waits on a
    # server that never answers, each step with 30 s: the whole call ends at its limit.
    lines, _ = tool("limit", storage[1], silent_pipe, "6000")
    result, ms = lines[0].split()[1:]
    assert result == "io" and 5900 <= int(ms) < 7500, lines
    assert "reading the reply" in lines[1], lines


def test_the_32_bit_library_in_a_subfolder_of_the_agents_folder_gets_authentic_replies(agent, storage):
    program = os.path.join(exe("x86"), "client_library_tool.exe")
    lines, took = tool("ops", storage[1], program=program)
    assert [line.split()[:2] for line in lines] == [["ping", "ok"], ["specs", "ok"], ["peer", "ok"],
                                                      ["no_such_op", "not_ok"]], lines
    lines, took = tool("threads", storage[1], "8", "250", program=program, timeout=600)
    print("32-bit: %s in %.1f s" % (lines, took))
    assert lines == ["threads ok=2000 failed=0 first=ok"]
