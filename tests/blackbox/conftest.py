"""Shared helpers for the black-box tests: they run the built Windows programs under Wine."""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import hang_report

BIN = os.environ.get("GUARDIAN_BIN", "")
WINE_RUN = os.environ.get("GUARDIAN_WINE_RUN", "")
WINEPREFIX = os.environ.get("WINEPREFIX", "")


def report_hang(why, logs=()):
    """Saves the backtraces of every process of this lane's Wine session and the logs given,
    before the test ends anything, into the build tree's "hangs" folder; prints the file's path."""
    folder = os.path.join(os.environ.get("GUARDIAN_BUILD") or tempfile.gettempdir(), "hangs")
    gone = hang_report.server_gone(WINEPREFIX)
    path = hang_report.save(folder, why + ("; " + gone if gone else ""), WINEPREFIX, BIN, logs)
    print("hang report: " + path)
    return path


def exe(name):
    """Host path of a built program."""
    return os.path.join(BIN, name)


DRIVE_C = os.path.join(WINEPREFIX, "drive_c") if WINEPREFIX else ""


def win_path(host_path):
    """The path as a Windows program under Wine sees it: below the prefix's drive_c on drive C:,
    anywhere else on drive Z: (the host's root)."""
    full = os.path.abspath(host_path)
    if DRIVE_C and (full + "/").startswith(DRIVE_C + "/"):
        return "C:" + (full[len(DRIVE_C):].replace("/", "\\") or "\\")
    return "Z:" + full.replace("/", "\\")


def program_path(host_path):
    """How to name a program to Wine: by its drive C: path when it lies there, so that it sees
    itself there too (a Windows path that ends at C:\\, never at the host folders above the
    build tree, which may be writable by every Unix user, as /tmp is)."""
    return win_path(host_path) if win_path(host_path).startswith("C:") else host_path


def run(program, *args, env=None, timeout=120, stdin=subprocess.DEVNULL):
    """Runs a program (host path) under Wine and returns the CompletedProcess (bytes).

    Standard output and error go through files, not pipes: a program that is the first to need
    Wine's desktop (or the SCM) after a while starts explorer.exe (or services.exe), which
    inherits its handles and would hold pipes open long after the program has ended."""
    full_env = dict(os.environ)
    full_env.pop("OV_STORAGE_DIR", None)
    full_env.pop("OV_WATCHDOG_INTERVAL_SEC", None)
    if env:
        full_env.update(env)
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.Popen([WINE_RUN, program_path(program), *args], env=full_env, stdin=stdin, stdout=out, stderr=err)
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            out.seek(0)
            err.seek(0)
            report_hang("%s %s did not end within %s s" % (os.path.basename(program), " ".join(args), timeout),
                        [("its output", out.read()), ("its errors", err.read())])
            p.kill()
            p.wait()
            raise
        r = subprocess.CompletedProcess(p.args, p.returncode)
        out.seek(0)
        err.seek(0)
        r.stdout, r.stderr = out.read(), err.read()
    if r.returncode == 0 and not r.stdout and not r.stderr and not hang_report.server_persistent(WINEPREFIX):
        # Wine loses a program's whole output now and then when the session's server is not
        # persistent (scripts/test.sh runs a test that failed with this line once more).
        print("wine signature: output-lost (%s exited 0 with no output; the session's server is not persistent)"
              % os.path.basename(program))
    return r


def start(program, *args, env=None, stdin=subprocess.DEVNULL, stderr=subprocess.PIPE):
    """Starts a program under Wine in the background; stdout and (by default) stderr are pipes."""
    full_env = dict(os.environ)
    full_env.pop("OV_STORAGE_DIR", None)
    full_env.pop("OV_WATCHDOG_INTERVAL_SEC", None)
    if env:
        full_env.update(env)
    return subprocess.Popen([WINE_RUN, program_path(program), *args], env=full_env, stdin=stdin,
                            stdout=subprocess.PIPE, stderr=stderr)

def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes more than a few seconds; skipped by scripts/test.sh --quick")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A test that fails after the lane's Wine server has gone says so: every program of the
    session is then blocked for good, whatever it was doing (scripts/test.sh runs such a test once
    more)."""
    outcome = yield
    report = outcome.get_result()
    if report.failed and WINEPREFIX:
        gone = hang_report.server_gone(WINEPREFIX)
        if gone:
            report.sections.append(("wine", "wine signature: server-gone (%s)" % gone))


def pytest_collection_modifyitems(config, items):
    if os.environ.get("GUARDIAN_QUICK"):
        for item in items:
            if "slow" in item.keywords:
                item.add_marker(pytest.mark.skip(reason="slow: left out by --quick"))


@pytest.fixture(scope="session", autouse=True)
def _require_build():
    if not BIN or not WINE_RUN:
        pytest.skip("run through CTest: GUARDIAN_BIN and GUARDIAN_WINE_RUN are not set")
    sys.stdout.flush()


class Console:
    """A program started under Wine whose standard error is collected as it arrives.

    Standard error goes to a file, read where the program has got to: a pipe would be held
    open after the program's end by what Wine started beside it, for a second or two."""

    def __init__(self, program, *args, env=None):
        self._file = tempfile.TemporaryFile()
        self.proc = start(program, *args, env=env, stderr=self._file)

    @property
    def stderr(self):
        # pread leaves the file position alone: the program writes through the same one.
        fd = self._file.fileno()
        return os.pread(fd, os.fstat(fd).st_size, 0)

    def wait_for(self, needle, timeout=60):
        """Waits until needle (bytes) has appeared on standard error; False on time-out or exit."""
        import time
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if needle in self.stderr:
                return True
            if self.proc.poll() is not None:
                return needle in self.stderr
            time.sleep(0.05)
        return False

    def interrupt(self, timeout=30):
        """Ctrl+C (SIGINT to the Wine process); returns the exit code.

        Under Wine a first SIGINT has now and then left the program running where a second one
        ended it at once (2 of 30 in a shell loop right after start-up; 0 of 60 sent as here),
        and a run once waited the whole time-out on it: when the program is still running 5 s
        later, the signal is sent once more. A second Ctrl+C only sets the stop event again, so
        it hides no stop that hangs in the program itself."""
        import signal
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            try:
                code = self.proc.wait(timeout=min(5, timeout))
            except subprocess.TimeoutExpired:
                self.proc.send_signal(signal.SIGINT)
                try:
                    code = self.proc.wait(timeout=max(timeout - 5, 1))
                except subprocess.TimeoutExpired:
                    report_hang("still running %d s after Ctrl+C" % timeout, [("its standard error", self.stderr)])
                    raise
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


STARTED = b"INFO  guardian 1.2.4 up; fp "


@pytest.fixture
def storage(tmp_path):
    """A fresh storage directory: (host path, Windows path)."""
    d = tmp_path / "storage"
    d.mkdir()
    return d, win_path(str(d))


def start_agent(storage_win, extra_env=None, program=None):
    env = {"OV_STORAGE_DIR": storage_win}
    env.update(extra_env or {})
    agent = Console(program or exe("ostrival_guardian.exe"), "--console", env=env)
    if not agent.wait_for(STARTED):
        agent.kill()
        raise AssertionError("agent did not start: %r" % agent.stderr)
    return agent


@pytest.fixture
def agent(storage):
    """The agent running in console mode on a fresh storage directory."""
    a = start_agent(storage[1])
    try:
        yield a
    finally:
        try:
            a.interrupt()
        except subprocess.TimeoutExpired:
            raise AssertionError("the agent did not end on Ctrl+C; its log: %r" % a.stderr[-4000:])


def client(*args, storage_win, program=None, timeout=120):
    return run(program or exe("ostrival_guardian.exe"), *args, env={"OV_STORAGE_DIR": storage_win}, timeout=timeout)


def raw(*actions, storage_win, program=None, timeout=120):
    """Runs raw_pipe_client (or a copy of it) with the actions; its output lines."""
    r = run(program or exe("raw_pipe_client.exe"), *actions, env={"OV_STORAGE_DIR": storage_win}, timeout=timeout)
    print("raw %r: exit %d, output %r, errors %r" % (actions, r.returncode, r.stdout, r.stderr))  # shown on failure
    assert r.returncode == 0, r.stderr
    return r.stdout.decode().splitlines()


@pytest.fixture
def program_dir(request):
    """An empty folder for copies of the agent that "--install" may register, on the prefix's
    drive C:. Never on drive Z: below a folder that every Unix user may write (/tmp, say): Wine
    shows such a folder as one that Everyone may change, and "--install" refuses a program
    that others could move away."""
    folder = pathlib.Path(DRIVE_C, "blackbox-programs", request.node.name)
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def copy_program(name, folder):
    """A copy of a built program, with the DLLs an installation ships with it, in another
    folder (host paths)."""
    os.makedirs(os.path.join(folder, "x86"), exist_ok=True)
    for f in ("libgcrypt-20.dll", "libgpg-error-0.dll", "ostrival_guardian_client.dll"):
        shutil.copy(exe(f), folder)
        shutil.copy(exe(os.path.join("x86", f)), os.path.join(folder, "x86"))
    shutil.copy(exe(name), folder)
    return os.path.join(folder, name)
