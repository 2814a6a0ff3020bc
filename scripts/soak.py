"""Soak and fault harness: runs the agent under Wine for a given time, with clients of every kind
and faults, and checks as it goes. Run through scripts/soak.sh (see the README).

The agent runs from a folder on the soak prefix's drive C, in turns: in console mode on a
storage folder of its own, in console mode on a small full volume (a tmpfs, as root), and as the
installed service, whose session is once ended and booted again (a power cut). Each turn lasts a
random time and ends with a stop (Ctrl+C, or the service's stop control).

Checked: every request of a trusted client is answered within its limit, except across the
harness's own stops; every stop ends within 3 s; resident memory, threads and open files stay
flat after warm-up; every log line is whole, and the lines of another writer are neither lost
nor doubled across rotations (also while a viewer holds the log); channel.bin never changes.
A hang (a process past its limit) leaves the thread backtraces of every process of the session
and the agent's log in the output folder before anything is ended."""
import argparse
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

TOP = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "blackbox"))
import hang_report  # noqa: E402

SERVICE = "OstrivalGuardian"
UP = re.compile(rb"INFO  guardian [\d.]+ up; fp ")
LINE = re.compile(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] (INFO |WARN |ERROR) .*")
WRITER_LINE = re.compile(rb"INFO  (w\d+) thread 0 line (\d+) z+$")
REQUEST_LIMIT_S = 30  # a client's own limit for one request
STOP_LIMIT_S = 3
HANG_S = 120  # a client or a stop still running after this long is a hang
WARM_UP_S = 15
LOG_LIMIT = 2 * 1024 * 1024  # the log is rotated before it passes this
WRITER_LINE_BYTES = 150


class Soak:
    def __init__(self, build, minutes, seed):
        self.build = build
        self.bin = os.path.join(build, "bin")
        self.prefix = os.path.join(build, "wineprefix-soak")
        self.wine_run = os.path.join(build, "wine-run-soak")
        self.out = os.path.join(build, "soak")
        self.minutes = minutes
        self.random = random.Random(seed)
        self.seed = seed
        self.began = time.monotonic()
        self.lock = threading.Lock()
        self.ending = threading.Event()
        self.session_up = threading.Event()  # clients start programs only while it is set
        self.problems = []
        self.answered = 0
        self.excused = 0
        self.longest = 0.0
        self.batches = {}
        self.stops = []
        self.down = []  # (from, to) of the harness's stops and power cuts; to None while down
        self.turns = []  # per agent run: samples (time, rss KiB, threads, fds)
        self.lines_seen = set()
        self.writer_lines = 0
        self.secrets = {}
        self.faults = {"companion kills": 0, "stale companions": 0, "rotations": 0, "held rotations": 0,
                       "power cuts": 0, "full volume": 0}
        self.drive_c = os.path.join(self.prefix, "drive_c")
        self.home = os.path.join(self.drive_c, "soak")
        self.elsewhere = os.path.join(self.drive_c, "soak-elsewhere")
        self.storage = os.path.join(self.drive_c, "soak-storage")
        self.stale = os.path.join(self.drive_c, "soak-stale")
        self.service_storage = os.path.join(self.drive_c, "ProgramData", "Ostrival", "guardian")
        self.volume = os.path.join(self.out, "full-volume")
        self.agent = None  # the running turn: dict(kind, storage, proc, err, pid, began)
        self.sentinel = None
        self.installed = False
        self.writers = 0

    # --- paths and processes -------------------------------------------------------------------

    def win(self, host):
        full = os.path.abspath(host)
        if (full + "/").startswith(self.drive_c + "/"):
            return "C:" + full[len(self.drive_c):].replace("/", "\\")
        return "Z:" + full.replace("/", "\\")

    def env(self, storage=None):
        e = dict(os.environ, WINEDEBUG="-all")
        e.pop("OV_STORAGE_DIR", None)
        if storage and storage != self.service_storage:
            e["OV_STORAGE_DIR"] = self.win(storage)
        return e

    def popen(self, program, *args, storage=None, stdin=subprocess.DEVNULL, stderr=None):
        return subprocess.Popen([self.wine_run, self.win(program), *args], env=self.env(storage), stdin=stdin,
                                stdout=subprocess.PIPE, stderr=stderr or subprocess.DEVNULL, cwd=self.out)

    def run(self, program, *args, storage=None, limit=HANG_S, what=None):
        """Runs a program to its end: (exit code, output, seconds). Past the limit it is a hang:
        reported with the session's backtraces, then ended."""
        began = time.monotonic()
        with tempfile.TemporaryFile() as out:
            p = subprocess.Popen([self.wine_run, self.win(program), *args], env=self.env(storage),
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, cwd=self.out)
            try:
                p.wait(timeout=limit)
            except subprocess.TimeoutExpired:
                self.hang("%s %s still running after %d s" % (what or os.path.basename(program), " ".join(args), limit))
                p.kill()
                p.wait()
            out.seek(0)
            return p.returncode, out.read(), time.monotonic() - began

    def unix_pids(self, needle):
        """Host pids of the soak session's processes whose command line holds needle."""
        return [row[0] for row in hang_report.session_processes(self.prefix)
                if needle in row[4] and "start.exe" not in row[4]]

    def session(self, action):
        subprocess.run(["sh", os.path.join(TOP, "scripts", "wine-session.sh"), action, self.prefix],
                       env=dict(os.environ, GUARDIAN_WINE_TEMPLATE=os.path.join(self.build, "wineprefix-template")),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    # --- what is recorded ----------------------------------------------------------------------

    def elapsed(self):
        return time.monotonic() - self.began

    def problem(self, text):
        with self.lock:
            self.problems.append("%s %s" % (clock(self.elapsed()), text))
        print("soak %s FAIL %s" % (clock(self.elapsed()), text), flush=True)

    def hang(self, why):
        logs = []
        if self.agent:
            logs.append(("the agent's output", read(self.agent["err"])))
            logs.append(("the agent's log", read(os.path.join(self.agent["storage"], "guardian.log"))))
        gone = hang_report.server_gone(self.prefix)
        if gone:
            why += "; " + gone
            print("wine signature: server-gone (%s)" % gone, flush=True)
        path = hang_report.save(self.out, why, self.prefix, self.bin, logs)
        self.problem("hang: %s; backtraces and log in %s" % (why, path))

    def went_down(self):
        with self.lock:
            self.down.append([time.monotonic(), None])

    def came_up(self):
        with self.lock:
            if self.down and self.down[-1][1] is None:
                # The agent says it is up just before it makes its pipe.
                self.down[-1][1] = time.monotonic() + 2

    def across_a_stop(self, began, ended):
        with self.lock:
            return any(began <= (to if to is not None else ended) and ended >= frm for frm, to in self.down)

    def result(self, kind, began, ended, ok, count=1, failed=0, longest=None, detail=""):
        """count requests of one kind between began and ended, failed of them not answered."""
        seconds = ended - began if longest is None else longest
        excused = failed and self.across_a_stop(began, ended)
        with self.lock:
            self.answered += count - failed
            self.batches[kind] = self.batches.get(kind, 0) + count
            if not failed:
                self.longest = max(self.longest, seconds)
            if excused:
                self.excused += failed
        if failed and not excused:
            self.problem("%s: %d of %d not answered (%s)" % (kind, failed, count, detail.strip()[:300]))
        elif not failed and seconds > REQUEST_LIMIT_S:
            self.problem("%s answered after %.1f s, past the %d s limit" % (kind, seconds, REQUEST_LIMIT_S))

    # --- clients -------------------------------------------------------------------------------

    def client_loop(self, name, pause, body):
        while not self.ending.is_set():
            try:
                # Nothing starts while the session is down: a power cut starts no program.
                while not self.session_up.wait(1) and not self.ending.is_set():
                    pass
                body()
            except Exception as e:  # a harness fault is a finding too, never a silent end of the load
                self.problem("%s client: %r" % (name, e))
            self.ending.wait(pause * (0.5 + self.random.random()))

    def storage_now(self):
        turn = self.agent
        return turn["storage"] if turn else self.storage

    def cli_request(self):
        op = self.random.choice(["--ping", "--specs", "--peer"])
        storage = self.storage_now()
        began = time.monotonic()
        code, out, _ = self.run(os.path.join(self.home, "ostrival_guardian.exe"), op, storage=storage)
        ok = code == 0 and out.endswith(b"mac: valid\n")
        self.result("cli " + op[2:], began, time.monotonic(), ok, failed=0 if ok else 1, detail=out[-200:].decode(errors="replace"))

    def pipe_requests(self):
        storage = self.storage_now()
        began = time.monotonic()
        code, out, _ = self.run(os.path.join(self.home, "raw_pipe_client.exe"), "timed:20:peer", storage=storage)
        m = re.search(rb"timed ok=(\d+) failed=(\d+) max_ms=([\d.]+)", out)
        if not m:
            self.result("pipe client", began, time.monotonic(), False, count=20, failed=20, detail=out.decode(errors="replace"))
            return
        self.result("pipe client", began, time.monotonic(), True, count=20, failed=int(m[2]), longest=float(m[3]) / 1000,
                    detail=out.decode(errors="replace"))

    def library_requests(self):
        storage = self.storage_now()
        began = time.monotonic()
        code, out, seconds = self.run(os.path.join(self.home, "client_library_tool.exe"), "threads", self.win(storage), "2",
                                      "10", storage=storage)
        m = re.search(rb"threads ok=(\d+) failed=(\d+)", out)
        failed = int(m[2]) if m else 20
        self.result("library", began, time.monotonic(), True, count=20, failed=failed, longest=0,
                    detail=out.decode(errors="replace"))

    def untrusted_client(self):
        code, out, _ = self.run(os.path.join(self.elsewhere, "raw_pipe_client.exe"), "connect", "frame:{\"op\":\"ping\"}",
                                "read", "close", storage=self.storage_now())
        with self.lock:
            self.batches["untrusted"] = self.batches.get("untrusted", 0) + 1

    def held_connections(self):
        """A silent and a stalled connection: each is ended by the agent's 30 s frame deadline."""
        storage = self.storage_now()
        began = time.monotonic()
        silent = self.popen(os.path.join(self.home, "raw_pipe_client.exe"), "connect", "read:45000", storage=storage)
        stalled = self.popen(os.path.join(self.home, "raw_pipe_client.exe"), "connect", "len:100", "read:45000",
                             storage=storage)
        for p, what in ((silent, "silent"), (stalled, "stalled")):
            while p.poll() is None and time.monotonic() - began < HANG_S and not self.ending.is_set():
                time.sleep(0.2)
            if p.poll() is None:
                if not self.ending.is_set():
                    self.hang("a %s connection still open after %d s" % (what, HANG_S))
                p.kill()
            out, _ = p.communicate()
            took = time.monotonic() - began
            if self.ending.is_set():
                continue
            lines = out.decode(errors="replace").split()
            ended_by_agent = lines[-1:] == ["closed"] and took < 45
            if not ended_by_agent and not self.across_a_stop(began, time.monotonic()) and lines[:1] == ["connected"]:
                self.problem("a %s connection was not ended by the frame deadline (%s after %.1f s)" %
                             (what, " ".join(lines[-1:]), took))
        with self.lock:
            self.batches["held"] = self.batches.get("held", 0) + 2

    # --- the agent -----------------------------------------------------------------------------

    def start_console(self, storage, kind):
        err = os.path.join(self.out, "agent-%d.err" % len(self.turns))
        with open(err, "wb") as f:
            proc = subprocess.Popen([self.wine_run, self.win(os.path.join(self.home, "ostrival_guardian.exe")), "--console"],
                                    env=self.env(storage), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=f, cwd=self.out)
        turn = dict(kind=kind, storage=storage, proc=proc, err=err, pid=None)
        if not wait_until(lambda: UP.search(read(err)) or proc.poll() is not None, 120):
            self.agent = turn
            self.hang("console agent not up after 120 s")
        if not UP.search(read(err)):
            self.problem("console agent did not start: %r" % read(err)[-400:])
            proc.kill()
            proc.wait()
            return False
        pids = self.unix_pids("ostrival_guardian.exe --console")
        turn["pid"] = pids[0] if len(pids) == 1 else None
        self.begin_turn(turn)
        return True

    def start_service(self):
        log = os.path.join(self.service_storage, "guardian.log")
        ups = len(UP.findall(read(log)))
        self.settle_scm()
        if not self.installed:
            code, out, _ = self.run(os.path.join(self.home, "ostrival_guardian.exe"), "--install")
            self.installed = code == 0
            if not self.installed:
                self.problem("--install failed: %r" % out)
                return False
        else:
            self.run(os.path.join(self.bin, "service_tool.exe"), "start", SERVICE)
        return self.wait_service_up(ups, log)

    def wait_service_up(self, ups, log):
        if not wait_until(lambda: len(UP.findall(read(log))) > ups, 120):
            self.agent = dict(kind="service", storage=self.service_storage, err=log)
            self.hang("service not up after 120 s")
            return False
        pids = [p for p in self.unix_pids("ostrival_guardian.exe") if "--" not in cmdline(p)]
        self.begin_turn(dict(kind="service", storage=self.service_storage, proc=None, err=log,
                             pid=pids[0] if len(pids) == 1 else None))
        return True

    def settle_scm(self):
        for _ in range(3):
            code, out, _ = self.run(os.path.join(self.bin, "service_tool.exe"), "settle", "GuardianSoakProbe")
            if out:
                return

    def begin_turn(self, turn):
        turn["began"] = time.monotonic()
        turn["samples"] = []
        self.agent = turn
        self.turns.append(turn)
        self.came_up()
        self.secret_unchanged(turn["storage"])
        self.start_sentinel()

    def stop_agent(self):
        turn = self.agent
        if not turn:
            return
        self.went_down()
        began = time.monotonic()
        if turn["kind"] == "service":
            code, out, _ = self.run(os.path.join(self.bin, "service_tool.exe"), "stop", SERVICE, "20000")
            m = re.search(rb"stopped in (\d+) ms", out)
            took = int(m[1]) / 1000 if m else None
            if took is None:
                self.problem("service stop did not end: %r" % out[-300:])
                self.hang("service stop did not end")
        else:
            if turn["pid"]:
                os.kill(turn["pid"], signal.SIGINT)
            else:
                turn["proc"].send_signal(signal.SIGINT)
            try:
                turn["proc"].wait(timeout=HANG_S)
                took = time.monotonic() - began
            except subprocess.TimeoutExpired:
                took = None
                self.hang("console agent still running %d s after Ctrl+C" % HANG_S)
                turn["proc"].kill()
                turn["proc"].wait()
            if took is not None and turn["proc"].returncode != 0:
                self.problem("console agent ended with %s after Ctrl+C" % turn["proc"].returncode)
            if not read(turn["err"]).endswith(b"INFO  guardian stopped\r\n"):
                self.problem("console agent's last line is not its stop: %r" % read(turn["err"])[-200:])
        if took is not None:
            with self.lock:
                self.stops.append((turn["kind"], took))
            if took > STOP_LIMIT_S:
                self.problem("%s stop took %.2f s" % (turn["kind"], took))
        self.check_logs(turn)
        self.agent = None
        self.stop_sentinel()

    def power_cut(self):
        """The session ended while requests run, and booted again: the SCM starts the service."""
        log = os.path.join(self.service_storage, "guardian.log")
        ups = len(UP.findall(read(log)))
        self.went_down()
        self.session_up.clear()
        time.sleep(1)  # a client that passed the gate has started its program by now
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=self.prefix), timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.faults["power cuts"] += 1
        self.agent = None
        self.stop_sentinel()
        self.session("start")
        self.end_stragglers()
        self.session_up.set()
        return self.wait_service_up(ups, log)

    def end_stragglers(self):
        """Ends what a power cut left: a program still starting while its server was ended waits
        for that server for good (Wine), where on a machine it would not have run at all."""
        server = hang_report.server_pids(self.prefix)
        if not server:
            return
        booted = start_time(int(server[0]))
        for row in hang_report.session_processes(self.prefix):
            if row[0] != os.getpid() and start_time(row[0]) < booted and "wineserver" not in row[4]:
                try:
                    os.kill(row[0], signal.SIGKILL)
                except OSError:
                    pass

    def sample(self):
        turn = self.agent
        if not turn or not turn.get("pid"):
            return
        try:
            with open("/proc/%d/status" % turn["pid"]) as f:
                status = dict(line.split(":", 1) for line in f if ":" in line)
            fds = len(os.listdir("/proc/%d/fd" % turn["pid"]))
        except OSError:
            return
        turn["samples"].append((time.monotonic() - turn["began"], int(status["VmRSS"].split()[0]),
                                int(status["Threads"]), fds))

    def flat(self, turn):
        """After warm-up, the last samples may not stand above the first ones: 4 MiB of memory,
        no thread, 8 open files (a request in flight holds a few)."""
        warm = [s for s in turn["samples"] if s[0] >= WARM_UP_S]
        if len(warm) < 4:
            return
        first, last = warm[:2], warm[-2:]
        for i, name, slack in ((1, "resident memory (KiB)", 4096), (2, "threads", 0), (3, "open files", 8)):
            if min(s[i] for s in last) > max(s[i] for s in first) + slack:
                self.problem("%s of the %s run grew from %d to %d" % (name, turn["kind"], max(s[i] for s in first),
                                                                     min(s[i] for s in last)))

    # --- the companion -------------------------------------------------------------------------

    def start_sentinel(self, stale=False):
        storage = self.stale if stale else self.storage_now()
        self.sentinel = self.popen(os.path.join(self.home, "ostrival_sentinel.exe"), storage=storage)

    def stop_sentinel(self):
        for pid in self.unix_pids("ostrival_sentinel.exe"):
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if self.sentinel:
            try:
                self.sentinel.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.sentinel.kill()
                self.sentinel.wait()
        self.sentinel = None

    def companion_fault(self):
        self.stop_sentinel()
        self.ending.wait(2 + 4 * self.random.random())
        stale = self.random.random() < 0.4
        self.faults["stale companions" if stale else "companion kills"] += 1
        if self.agent:
            self.start_sentinel(stale)

    # --- the log -------------------------------------------------------------------------------

    def rotation(self, tag, held):
        """Another writer takes the agent's log 300 KB past its limit (one rotation, by renaming it,
        or by copying and emptying it while a viewer holds it when held); then its lines are counted
        in both generations."""
        turn = self.agent
        log = os.path.join(turn["storage"], "guardian.log")
        before = os.stat(log) if os.path.exists(log) else None
        lines = (LOG_LIMIT - (before.st_size if before else 0)) // WRITER_LINE_BYTES + 2000
        viewer = None
        if held:
            viewer = self.popen(os.path.join(self.bin, "log_writer.exe"), "view", self.win(log), stdin=subprocess.PIPE)
            if viewer.stdout.readline().strip() != b"viewing":
                self.problem("the log viewer could not open %s" % log)
        writer = self.popen(os.path.join(self.bin, "log_writer.exe"), self.win(log), tag, "1", str(lines),
                            stdin=subprocess.PIPE)
        try:
            writer.stdin.write(b"go\n")
            writer.stdin.flush()
        except OSError:
            pass
        try:
            out, _ = writer.communicate(timeout=HANG_S)
        except subprocess.TimeoutExpired:
            self.hang("log writer still running after %d s" % HANG_S)
            writer.kill()
            out, _ = writer.communicate()
        if viewer:
            try:
                viewer.communicate(timeout=HANG_S)
            except subprocess.TimeoutExpired:
                self.hang("log viewer still running after %d s" % HANG_S)
                viewer.kill()
                viewer.wait()
        if b"done" not in out:
            self.problem("log writer %s did not finish: %r" % (tag, out[-200:]))
            return
        self.faults["held rotations" if held else "rotations"] += 1
        after = os.stat(log)
        if before and (after.st_ino == before.st_ino) != held:
            self.problem("log writer %s: the log was %s" % (tag, "renamed though held" if held else "not renamed"))
        seen = {}
        for name in ("guardian.log.1", "guardian.log"):
            for line in read(os.path.join(turn["storage"], name)).split(b"\r\n"):
                m = WRITER_LINE.search(line)
                if m and m[1] == tag.encode():
                    seen[int(m[2])] = seen.get(int(m[2]), 0) + 1
        for name in ("guardian.log.1", "guardian.log"):
            self.check_lines(os.path.join(turn["storage"], name))
        doubled = sum(1 for n in seen.values() if n > 1)
        lost = lines - len(seen)
        with self.lock:
            self.writer_lines += len(seen)
        if doubled or lost:
            self.problem("log writer %s%s: %d lines lost, %d doubled" % (tag, " (log held)" if held else "", lost, doubled))

    def check_logs(self, turn):
        """Every line of the log's generations (and of the console's output) whole."""
        for name in ("guardian.log.1", "guardian.log"):
            self.check_lines(os.path.join(turn["storage"], name))
        if turn["kind"] != "service":
            self.check_lines(turn["err"], banner=True)
        self.secret_unchanged(turn["storage"])
        self.flat(turn)

    def check_lines(self, path, banner=False):
        data = read(path)
        if banner:
            data = data.partition(b"\n")[2]
        lines = data.split(b"\r\n")
        if lines[-1] != b"":
            self.problem("%s does not end with a whole line: %r" % (os.path.basename(path), lines[-1][-120:]))
        broken = [l for l in lines[:-1] if not LINE.fullmatch(l)]
        if broken:
            self.problem("%s has %d broken lines, the first %r" % (os.path.basename(path), len(broken), broken[0][:160]))
        with self.lock:
            self.lines_seen.update(hash(l) for l in lines[:-1])

    def secret_unchanged(self, storage):
        digest = hashlib.sha256(read(os.path.join(storage, "channel.bin"))).hexdigest()
        known = self.secrets.setdefault(storage, digest)
        if known != digest:
            self.problem("channel.bin in %s changed" % storage)
            self.secrets[storage] = digest

    # --- the full volume -----------------------------------------------------------------------

    def mount_volume(self):
        os.makedirs(self.volume, exist_ok=True)
        if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=3m", "tmpfs", self.volume],
                                               stderr=subprocess.DEVNULL).returncode != 0:
            return None
        storage = os.path.join(self.volume, "storage")
        os.makedirs(storage)
        return storage

    def fill_volume(self):
        try:
            with open(os.path.join(self.volume, "filler"), "wb") as f:
                while True:
                    f.write(b"\0" * 65536)
                    f.flush()
        except OSError:
            pass
        self.faults["full volume"] += 1

    def unmount_volume(self):
        self.secrets.pop(os.path.join(self.volume, "storage"), None)  # the next volume's is a new one
        subprocess.run(["umount", "-l", self.volume], stderr=subprocess.DEVNULL)

    # --- the run -------------------------------------------------------------------------------

    def prepare(self):
        os.makedirs(self.out, exist_ok=True)
        for old in os.listdir(self.out):
            if old.startswith("agent-") or old.startswith("hang-"):
                os.remove(os.path.join(self.out, old))
        if os.path.ismount(self.volume):
            self.unmount_volume()
        self.session("stop")
        self.session("start")
        self.session_up.set()
        for folder in (self.home, self.elsewhere, self.storage, self.stale):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
        for name in ("ostrival_guardian.exe", "ostrival_sentinel.exe", "raw_pipe_client.exe", "client_library_tool.exe",
                     "ostrival_guardian_client.dll", "libgcrypt-20.dll", "libgpg-error-0.dll"):
            shutil.copy(os.path.join(self.bin, name), self.home)
        for name in ("raw_pipe_client.exe", "libgcrypt-20.dll", "libgpg-error-0.dll"):
            shutil.copy(os.path.join(self.bin, name), self.elsewhere)
        shutil.rmtree(self.service_storage, ignore_errors=True)
        # A companion that holds an earlier secret: another folder's.
        code, out, _ = self.run(os.path.join(self.home, "ostrival_guardian.exe"), "--fingerprint")
        fp = re.search(rb'"fp": "([0-9a-f]{64})"', out)
        if fp:
            self.run(os.path.join(self.bin, "channel_secret_tool.exe"), self.win(self.stale), fp[1].decode())

    def turn_kinds(self):
        """The turns in order, again and again: the service (its session cut once), a full volume,
        console mode."""
        kinds = ["service", "power cut", "console"]
        if os.geteuid() == 0:
            kinds.insert(2, "full volume")
        while True:
            yield from kinds

    def main(self):
        self.prepare()
        end = self.began + self.minutes * 60
        clients = [("cli", 1.5, self.cli_request), ("pipe", 1.0, self.pipe_requests),
                   ("library", 3.0, self.library_requests), ("untrusted", 2.0, self.untrusted_client),
                   ("held", 5.0, self.held_connections)]
        threads = [threading.Thread(target=self.client_loop, args=c, daemon=True) for c in clients]
        reporter = threading.Thread(target=self.report_loop, daemon=True)
        volume = None
        kinds = self.turn_kinds()
        started = False
        try:
            while time.monotonic() < end - 10:
                kind = next(kinds)
                self.went_down()
                if kind == "service":
                    up = self.start_service()
                    if not up:
                        break
                elif kind == "power cut":
                    if not (self.installed and self.start_service()):
                        continue
                    self.turn_until(min(end, time.monotonic() + self.random.uniform(10, 20)))
                    up = self.power_cut()
                elif kind == "full volume":
                    volume = self.mount_volume()
                    if not volume:
                        continue
                    up = self.start_console(volume, "full volume")
                    if up:
                        self.fill_volume()
                else:
                    up = self.start_console(self.storage, "console")
                if not up:
                    break
                if not started:
                    for t in threads + [reporter]:
                        t.start()
                    started = True
                self.turn_until(min(end, time.monotonic() + self.random.uniform(20, 45)))
                self.stop_agent()
                if volume:
                    self.unmount_volume()
                    volume = None
        finally:
            self.ending.set()
            for t in threads:
                t.join(timeout=HANG_S + 30)
            if self.agent:
                self.stop_agent()
            self.stop_sentinel()
            if self.installed:
                self.settle_scm()
                self.run(os.path.join(self.home, "ostrival_guardian.exe"), "--uninstall")
            if volume:
                self.unmount_volume()
            self.session("stop")
        return self.verdict()

    def turn_until(self, until):
        """The running turn's faults until the given time: the companion killed or replaced by a
        stale one, and (on a writable log) another writer's rotation, half of them while a viewer
        holds the log."""
        turn = self.agent
        due_companion = time.monotonic() + self.random.uniform(5, 15)
        due_writer = time.monotonic() + self.random.uniform(3, 10)
        while time.monotonic() < until and self.agent is turn:
            self.sample()
            now = time.monotonic()
            if now >= due_companion:
                self.companion_fault()
                due_companion = time.monotonic() + self.random.uniform(10, 25)
            elif now >= due_writer and turn["kind"] != "full volume":
                self.writers += 1
                self.rotation("w%d" % self.writers, held=self.writers % 2 == 0)
                due_writer = time.monotonic() + self.random.uniform(15, 40)
            else:
                time.sleep(1)

    def report_loop(self):
        while not self.ending.wait(60 - (self.elapsed() % 60)):
            print("soak %s %s" % (clock(self.elapsed()), self.figures()), flush=True)

    def figures(self):
        with self.lock:
            stops = [t for _, t in self.stops]
            text = "requests %d answered (longest %.2f s), %d failed across the harness's stops; stops %d (longest %s)" % (
                self.answered, self.longest, self.excused, len(stops), "%.2f s" % max(stops) if stops else "-")
        turn = self.agent or (self.turns[-1] if self.turns else None)
        if turn and turn["samples"]:
            s = turn["samples"][-1]
            text += "; agent %.1f MiB, %d threads, %d open files" % (s[1] / 1024, s[2], s[3])
        return text + "; log lines %d checked" % len(self.lines_seen)

    def verdict(self):
        runs = [t for t in self.turns if len(t["samples"]) >= 2]
        longest = max(runs, key=lambda t: t["samples"][-1][0] - t["samples"][0][0], default=None)
        lines = ["soak %s %s" % (clock(self.elapsed()), self.figures()),
                 "  requests by kind: " + ", ".join("%s %d" % kv for kv in sorted(self.batches.items())),
                 "  agent runs %d: %s" % (len(self.turns), ", ".join(t["kind"] for t in self.turns)),
                 "  faults: " + ", ".join("%s %d" % kv for kv in self.faults.items()),
                 "  other writer's log lines %d, none lost or doubled unless said below" % self.writer_lines,
                 "  channel.bin checked in %d folders" % len(self.secrets)]
        if longest:
            a, b = longest["samples"][0], longest["samples"][-1]
            lines.append("  the longest run (%s, %.0f s): memory %.1f -> %.1f MiB, threads %d -> %d, open files %d -> %d" %
                         (longest["kind"], b[0], a[1] / 1024, b[1] / 1024, a[2], b[2], a[3], b[3]))
        if self.answered == 0:
            self.problem("no request was answered")
        if not self.problems:
            lines.append("soak verdict: clean (seed %d)" % self.seed)
        else:
            lines.append("soak verdict: FAILED (seed %d), %d problems:" % (self.seed, len(self.problems)))
            lines += ["  " + p for p in self.problems]
        print("\n".join(lines), flush=True)
        return 0 if not self.problems else 1


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def start_time(pid):
    """When a process started, in clock ticks since boot (0 once it is gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return 0


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return bool(condition())


def clock(seconds):
    return "%d:%02d" % (seconds // 60, seconds % 60)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, required=True)
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    sys.exit(Soak(os.path.abspath(args.build), args.minutes, seed).main())


if __name__ == "__main__":
    main()
