"""The log written by several processes at once, and read back by --diagnose."""
import json
import os
import re
import subprocess

import pytest

from conftest import client, exe, start, win_path

LINE = re.compile(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] INFO  (\w+) thread (\d+) line (\d+) z+")
# Waiting and releasing (SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL) for LocalSystem, the
# Administrators and the user who created it, owned by the Administrators.
LOCK = re.compile(rb"lock O:BAD:\(A;;0x120001;;;SY\)\(A;;0x120001;;;BA\)\(A;;0x120001;;;S-1-5-21-[0-9-]+\)")


@pytest.mark.slow
@pytest.mark.parametrize("first", ["a", "b"])
def test_two_processes_share_one_log_across_a_rotation(tmp_path, first):
    path = tmp_path / "guardian.log"
    # 2 processes x 4 threads x 2,500 lines of 150 bytes: 3 MB, one rotation. The first has
    # made the lock before the second starts; both write once both hold it.
    writers, locks = [], []
    for tag in (first, "b" if first == "a" else "a"):
        writers.append(start(exe("log_writer.exe"), win_path(str(path)), tag, "4", "2500", stdin=subprocess.PIPE))
        locks.append(writers[-1].stdout.readline().strip())
    assert LOCK.fullmatch(locks[0]) and locks[1] == locks[0], locks
    for w in writers:
        w.stdin.write(b"go\n")
        w.stdin.flush()
    for w in writers:
        out, err = w.communicate(timeout=300)
        assert (w.returncode, out.strip()) == (0, b"done"), err
    seen = set()
    for name in ("guardian.log.1", "guardian.log"):
        data = (tmp_path / name).read_bytes()
        assert len(data) <= 2097152, name
        lines = data.split(b"\r\n")
        assert lines[-1] == b""
        for line in lines[:-1]:
            m = LINE.fullmatch(line)
            assert m, line  # never spliced
            assert m.groups() not in seen  # never doubled
            seen.add(m.groups())
    assert len(seen) == 20000  # never lost
    assert os.path.getsize(tmp_path / "guardian.log.1") > 2097152 - 200


def test_diagnose_shows_the_last_warn_and_error_lines_from_the_end_of_a_large_log(storage):
    host, win = storage
    stamp = "2026-03-04T05:06:07.089Z [7] "
    lines = [stamp + "INFO  " + "z" * 120] * 1000  # 130 KB: only the end is read
    lines[10] = stamp + "ERROR too early to be read"
    lines += [stamp + f"WARN  w{i}" for i in range(6)] + [stamp + "INFO  WARN  in a message", stamp + "ERROR e\x1b[2J"]
    log = "".join(line + "\r\n" for line in lines).encode()
    (host / "guardian.log").write_bytes(log)
    (host / "guardian.log.1").write_bytes(b"0123456789")
    r = client("--diagnose", "--json", storage_win=win)
    checks = {c["check"]: c for c in json.loads(r.stdout)["checks"]}
    assert checks["storage"]["verdict"] == "warn" and checks["storage"]["found"].startswith(win + " (OV_STORAGE_DIR)")
    assert (checks["log"]["verdict"], checks["log"]["found"]) == (
        "ok", f"{win}\\guardian.log: {len(log)} bytes (the older generation 10 bytes); its last WARN and ERROR lines:")
    # The last five of each level, in the log's order.
    assert checks["log"]["lines"] == [stamp + f"WARN  w{i}" for i in range(1, 6)] + [stamp + "ERROR e\\x1b[2J"]


def test_diagnose_names_a_log_that_another_program_holds(storage):
    """A program that holds the log open sharing nothing (an editor, a viewer): running as
    someone else would not help, so the check says who is in the way."""
    host, win = storage
    (host / "guardian.log").write_bytes(b"")
    holder = start(exe("log_writer.exe"), "hold", win + "\\guardian.log", stdin=subprocess.PIPE)
    try:
        assert holder.stdout.readline().rstrip() == b"held"
        checks = {c["check"]: c for c in json.loads(client("--diagnose", "--json", storage_win=win).stdout)["checks"]}
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)
    log = checks["log"]
    assert (log["verdict"], log["state"]) == ("warn", "held"), log
    assert log["found"].startswith(f"{win}\\guardian.log: 0 bytes; another program holds it open and lets no one "
                                   "else read it: "), log
    assert log["todo"].startswith("close the program that holds the log open"), log
