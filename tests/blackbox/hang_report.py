"""What a hang leaves behind: the thread backtraces of every process of a Wine session, taken with
winedbg before anything is ended, with the frames of the project's own programs named from their
symbol tables. Used by the black-box tests and the soak harness."""
import bisect
import os
import re
import subprocess
import time

FRAME = re.compile(r"0x([0-9a-f]+) in (\w+) \(\+0x[0-9a-f]+\)")


def _symbols(program):
    """Sorted (address, name) of a program's defined functions, from its symbol table."""
    try:
        out = subprocess.run(["x86_64-w64-mingw32-nm", "-C", "--defined-only", program], capture_output=True,
                             timeout=60).stdout.decode(errors="replace")
    except (OSError, subprocess.TimeoutExpired):
        return []
    table = []
    for line in out.splitlines():
        address, _, rest = line.partition(" ")
        kind, _, name = rest.partition(" ")
        if kind.lower() == "t":
            try:
                table.append((int(address, 16), name))
            except ValueError:
                pass
    table.sort()
    return table


def name_frames(text, bin_dir):
    """The backtraces with each frame of a program of bin_dir given its function and offset."""
    tables = {}

    def named(m):
        address, module = int(m.group(1), 16), m.group(2)
        if module not in tables:
            path = os.path.join(bin_dir, module + ".exe")
            if not os.path.exists(path):
                path = os.path.join(bin_dir, module + ".dll")
            tables[module] = _symbols(path) if os.path.exists(path) else []
        table = tables[module]
        i = bisect.bisect_right(table, (address, "\uffff")) - 1
        if i < 0:
            return m.group(0)
        return "%s [%s+0x%x]" % (m.group(0), table[i][1], address - table[i][0])

    return FRAME.sub(named, text)


def session_processes(prefix):
    """(pid, parent, state, kernel wait, command line) of every process whose environment names
    the prefix, as the host sees them."""
    rows = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if ("WINEPREFIX=" + prefix).encode() not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/wchan" % entry) as f:
                wchan = f.read().strip()
        except OSError:
            continue
        rows.append((int(entry), int(fields[1]), fields[0], wchan, command))
    return rows


def unix_processes(prefix):
    """The host's view of the session's processes, one line each (a program started through
    start.exe is a process of its own, which a signal to start.exe never reaches)."""
    return "\n".join("%7d %7d %s %-24s %s" % row for row in session_processes(prefix))


def server_pids(prefix):
    """The host pids of the prefix's Wine server: its working folder is named after the prefix."""
    try:
        key = "server-%x-%x" % (os.stat(prefix).st_dev, os.stat(prefix).st_ino)
    except OSError:
        return []
    pids = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and os.readlink("/proc/%s/cwd" % entry).endswith("/" + key):
                pids.append(entry)
        except OSError:
            pass
    return pids


def server_persistent(prefix):
    """True when the prefix's server runs without a time limit (its last argument is a bare -p)."""
    for pid in server_pids(prefix):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if f.read().rstrip(b"\0").split(b"\0")[-1] == b"-p":
                    return True
        except OSError:
            pass
    return False


def server_gone(prefix):
    """Why the session's server is not there any more, from what scripts/wine-session.sh noted when
    it started it (PREFIX.server.pid, PREFIX.server.log); empty while it still serves. Every
    program of a session whose server is gone stays blocked for good in its next wait."""
    try:
        with open(prefix + ".server.pid") as f:
            started = f.read().strip()
    except OSError:
        return ""
    if started in server_pids(prefix):
        return ""
    try:
        with open(prefix + ".server.log") as f:
            ended = [line.strip() for line in f if "ended with status" in line]
    except OSError:
        ended = []
    return "the session's server %s is gone%s" % (started, " (%s)" % ended[-1] if ended else "")


def server_stacks(prefix):
    """The prefix's Wine server as the host sees it: its kernel stack and, through gdb, where
    each of its threads is (a server that waits or spins holds up every process of the session)."""
    out = []
    for entry in server_pids(prefix):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            out.append("wine server %s: state %s, %.1f s of processor time" %
                       (entry, fields[0], (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")))
            with open("/proc/%s/stack" % entry) as f:
                out.append(f.read())
            r = subprocess.run(["gdb", "-batch", "-p", entry, "-ex", "thread apply all bt"], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=120)
            out.append(r.stdout.decode(errors="replace"))
        except (OSError, subprocess.TimeoutExpired) as e:
            out.append("(%s)" % e)
    return "\n".join(out) or "no server found"


def host_stacks(prefix):
    """Where each thread of the session's own programs waits, as the host sees it (gdb): what is
    left to read once the server, which winedbg needs, is gone."""
    out = []
    for pid, _, _, _, command in session_processes(prefix):
        if ".exe" not in command or "system32" in command.lower() or pid == os.getpid():
            continue
        try:
            r = subprocess.run(["gdb", "-batch", "-p", str(pid), "-ex", "thread apply all bt 10"],
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            out.append("--- %d %s\n%s" % (pid, command, r.stdout.decode(errors="replace")))
        except (OSError, subprocess.TimeoutExpired) as e:
            out.append("--- %d %s: (%s)" % (pid, command, e))
    return "\n".join(out)


def save(folder, why, prefix, bin_dir, logs=()):
    """Writes why, the backtraces of every process of the prefix's session and the given logs
    ((name, bytes) pairs) into a new file in folder; returns its path."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, time.strftime("hang-%Y%m%d-%H%M%S-") + str(os.getpid()) + ".txt")
    processes = unix_processes(prefix)
    server = server_stacks(prefix)
    programs = host_stacks(prefix) if server_gone(prefix) else ""
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    try:
        r = subprocess.run(["winedbg", "--command", "bt all"], env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=180)
        traces = r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired as e:
        traces = "winedbg did not end within 180 s; what it printed:\n" + (e.stdout or b"").decode(errors="replace")
    with open(path, "w", encoding="utf-8") as f:
        f.write(why + "\n\n=== processes (pid, parent, state, kernel wait, command line)\n" + processes)
        f.write("\n\n=== the Wine server\n" + server)
        if programs:
            f.write("\n\n=== the programs' threads as the host sees them (the server is gone)\n" + programs)
        f.write("\n\n=== thread backtraces (winedbg bt all)\n" + name_frames(traces, bin_dir))
        for name, data in logs:
            f.write("\n=== %s (last 16 KiB)\n" % name)
            f.write(data[-16384:].decode("utf-8", errors="replace"))
    return path
