"""The log written by several processes at once."""
import os
import re
import subprocess

import pytest

from conftest import exe, start, win_path

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
