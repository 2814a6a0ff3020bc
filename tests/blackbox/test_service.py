"""The agent as a Windows service under Wine's Service Control Manager: run by the SCM,
installed and removed by the agent itself (with its Event Log source and crash dump settings),
the failures the installer reports, what "--diagnose" says of an installation, and the
resources the built programs carry.

Every test leaves the prefix without the service (and the storage directory as it found it):
the agent's pipe name is fixed, and a service left running would answer other tests."""
import json
import os
import re
import shutil
import struct
import subprocess
import time

import pefile
import pytest

from conftest import BIN, DRIVE_C, WINE_RUN, WINEPREFIX, copy_program, exe, run, start, win_path

SERVICE = "OstrivalGuardian"
# The agent as these tests run and install it: a copy on the prefix's drive C:, so that
# "--install" judges C:\ above it, never the host folders above the build tree.
AGENT = copy_program("ostrival_guardian.exe", os.path.join(DRIVE_C, "Program Files", "Ostrival Guardian Test")) \
    if BIN else exe("ostrival_guardian.exe")
TOOL = exe("service_tool.exe")
STORAGE = os.path.join(WINEPREFIX, "drive_c", "ProgramData", "Ostrival", "guardian")
LOG = os.path.join(STORAGE, "guardian.log")
STORAGE_WIN = r"C:\ProgramData\Ostrival\guardian"

INSTALLED = b"OstrivalGuardian installed (auto start, LocalSystem) and started.\n"
REMOVED = b"OstrivalGuardian removed.\n"
NOT_INSTALLED = b"OstrivalGuardian is not installed.\n"
# An installation from a place the installing account can change itself is accepted, and said:
# under Wine, where the prefix's user owns every file, every installation by hand says it.
WARNED = re.compile(rb"(WARNING: (.+) can be changed by the installing account .+ \(S-1-5-[\d-]+\) itself: its programs "
                    rb"that run without elevation could replace what the service runs as LocalSystem, without a "
                    rb"prompt; install into C:\\Program Files \(or another folder only the Administrators can "
                    rb"change\), or with the MSI)\n")
PRIVILEGES = "SeBackupPrivilege|SeRestorePrivilege|SeChangeNotifyPrivilege"
UP_LINE = re.compile(r"INFO  guardian 1\.2\.4 up; fp [0-9a-f]{12}\u2026 parts \d; storage C:\\ProgramData\\Ostrival\\guardian\r\n")

SERVICE_STOPPED, SERVICE_STOP_PENDING, SERVICE_RUNNING = 1, 3, 4

SOURCE_KEY = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\OstrivalGuardian"
DUMPS_PARENT_KEY = r"SOFTWARE\Microsoft\Windows\Windows Error Reporting\LocalDumps"
DUMPS_KEY = DUMPS_PARENT_KEY + r"\ostrival_guardian.exe"
# The message table as the Event Log reads it: ID (severity in the top two bits) -> text.
MESSAGES = {
    0x400003E8: "Ostrival Guardian %1 started and serves its applications on %2.",
    0x400003E9: "Ostrival Guardian stopped.",
    0xC00003EA: "Ostrival Guardian could not start: %1",
    0x800003EB: "The device identity took %1 seconds to settle at start-up.",
    0x800003EC: "The device identity had not settled after %1 seconds; start-up went on with %2.",
    0x800003ED: "The companion ostrival_sentinel.exe failed %1 checks in a row: %2. To do: %3.",
    0x400003EE: "The companion ostrival_sentinel.exe answers again; its checks had failed since %1.",
    0x800003EF: "The log %1 could not be written: %2. Further failures are not reported until the service starts again.",
    0x800003F0: "%1 entries of Ostrival Guardian were not written to the Event Log: they came faster than it took them.",
    0x400003F1: "Ostrival Guardian %1 was installed as the service OstrivalGuardian, running %2 (%3).",
    0x400003F2: "Ostrival Guardian %1 was removed: %2 (it ran %3).",
    0x400003F3: "Ostrival Guardian made a new channel secret, %1. Every client that holds an earlier key must read it "
                "again: restart the companion and the suite's applications.",
    0xC00003F4: "Ostrival Guardian cannot use its storage folder, and uses a folder of its own instead: %1",
    0xC00003F5: "The installation of Ostrival Guardian %1 as the service OstrivalGuardian, running %2, failed: %3",
}


def installed(r, traced=False):
    """Asserts an installation that succeeded (with nothing on standard error unless it ran with
    Wine's Event Log trace); its warning line, if any, without the line end."""
    assert r.returncode == 0 and (traced or r.stderr == b""), (r.stdout, r.stderr)
    warned = WARNED.match(r.stdout)
    assert r.stdout[warned.end() if warned else 0:] == INSTALLED, r.stdout
    return warned and warned.group(1).decode()


def tool(*args, timeout=120):
    return run(TOOL, *args, timeout=timeout)


def statuses(output):
    """The status lines the tool printed, as (prefix, state, exit, specific, checkpoint)."""
    found = re.findall(rb"^(control )?state=(\d+) exit=(\d+) specific=(\d+) checkpoint=(\d+)", output, re.M)
    return [(p.decode().strip(), int(s), int(e), int(x), int(c)) for p, s, e, x, c in found]


INSTALL_RECORD_KEY = r"SOFTWARE\Ostrival\Guardian"
TRACE_EVENTS = {"WINEDEBUG": "-all,+eventlog,fixme+advapi"}


def remove_service():
    r = tool("remove", SERVICE)
    assert r.returncode == 0, r.stderr
    # The record of the installed version, which only "--uninstall" removes.
    run("reg", "delete", "HKLM\\" + INSTALL_RECORD_KEY, "/f", "/reg:64")


def event_log_entries(text):
    """What Wine's ReportEventW printed, as (type, ID, [strings]): a "fixme" line with the type
    and ID, then one line per string (cut after about 300 characters: then ending in "\u2026")."""
    entries, last = [], {}
    for line in text.splitlines():
        thread, _, rest = line.partition(":")
        report = re.match(r"fixme:advapi:ReportEventW \(\w+,0x(\w{4}),0x0000,0x(\w{8}),", rest)
        if report:
            last[thread] = (int(report[1], 16), int(report[2], 16), [])
            entries.append(last[thread])
        elif thread in last and (shown := re.match(r'(?:trace|warn|err):eventlog:ReportEventW L"(.*)"(\.\.\.)?$',
                                                   rest)):
            last[thread][2].append(re.sub(r"\\(.)", r"\1", shown[1]) + ("\u2026" if shown[2] else ""))
    return entries


def shown_as(entry_text, text):  # an Event Log string as the trace shows it (perhaps cut)
    return entry_text == text or (entry_text.endswith("\u2026") and text.startswith(entry_text[:-1]))


def traced(*args, agent=AGENT):  # the agent run with Wine's Event Log trace: (result, its entries)
    r = run(agent, *args, env=TRACE_EVENTS)
    return r, event_log_entries(r.stderr.decode("utf-8", "replace"))


def replaced_by_install(agent):
    """An installation that succeeded, and what its Event Log entry (1009) says it replaced
    (the log has it only where the storage folder passes LocalSystem's rule: never under Wine)."""
    r, events = traced("--install", agent=agent)
    installed(r, traced=True)
    [replaced] = [e[2][2] for e in events if e[1] == 0x400003F1]
    return replaced


@pytest.fixture(scope="module", autouse=True)
def scm_ready():
    """Right after the Wine session starts, the SCM still starts its automatic services and
    refuses other starts with 1055 for a while; the tests begin once it accepts them."""
    settle_scm()


def settle_scm():
    """Waits until the SCM accepts starts. The tool always prints "settled" or why it failed; a
    run with no output at all is one that Wine ended before it began (seen right after a new
    session's boot), and is made again."""
    for _ in range(3):
        r = tool("settle", "GuardianTestProbe")
        if r.stdout or r.stderr:
            break
    assert r.returncode == 0, r.stderr


@pytest.fixture
def fresh_storage():
    """An empty default storage directory for the test; the one found there comes back after.
    A channel secret left by an earlier run is thus never what a test depends on."""
    saved = STORAGE + ".kept-by-service-test"
    moved = os.path.lexists(STORAGE)
    if moved:
        os.rename(STORAGE, saved)
    try:
        yield
    finally:
        if os.path.isdir(STORAGE):
            shutil.rmtree(STORAGE)
        elif os.path.lexists(STORAGE):
            os.remove(STORAGE)
        if moved:
            os.rename(saved, STORAGE)


@pytest.fixture
def storage_blocked(fresh_storage):
    """A plain file where the default storage directory belongs."""
    os.makedirs(os.path.dirname(STORAGE), exist_ok=True)
    with open(STORAGE, "wb"):
        pass


@pytest.fixture
def no_service(fresh_storage):
    """No service before the test, and none after it, whatever the test did."""
    remove_service()
    try:
        yield
    finally:
        remove_service()


def log_text():
    if not os.path.isfile(LOG):
        return ""
    with open(LOG, "rb") as f:
        return f.read().decode("utf-8", "replace")


def wait_for_log(pattern, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if re.search(pattern, log_text()):
            return
        time.sleep(0.2)
    pytest.fail(f"the log never showed {pattern!r}:\n{log_text()}")


def assert_stopped_after_up():
    text = log_text()
    assert UP_LINE.search(text) and text.endswith(" INFO  guardian stopped\r\n"), text


def config_of(name=SERVICE):
    r = tool("config", name)
    assert r.returncode == 0, r.stderr
    return dict(line.split("=", 1) for line in r.stdout.decode().splitlines())


def registry_values(key):
    """HKLM\\key's values (in the 64-bit view: "wine reg" may be a 32-bit reg.exe) as `reg query`
    lists them, {name: (type, data)}; None without the key."""
    r = run("reg", "query", "HKLM\\" + key, "/reg:64")
    if r.returncode != 0:
        return None
    rows = [line.strip().split("    ") for line in r.stdout.decode().splitlines() if line.startswith("    ")]
    return {row[0]: tuple(row[1:]) for row in rows}


def resource(pe, kind):
    """The data of the first resource of a kind (11 message table, 24 manifest)."""
    entry = next(e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == kind)
    data = entry.directory.entries[0].directory.entries[0].data.struct
    return pe.get_data(data.OffsetToData, data.Size)


def message_table(pe):
    """{ID: text} from a MESSAGE_RESOURCE_DATA: blocks of (low ID, high ID, offset), then per ID
    a length, a flags word (1: UTF-16) and the text."""
    data = resource(pe, 11)
    table = {}
    for block in range(struct.unpack_from("<I", data)[0]):
        low, high, offset = struct.unpack_from("<III", data, 4 + 12 * block)
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, offset)
            text = data[offset + 4:offset + length].decode("utf-16-le" if flags & 1 else "latin-1")
            table[message_id] = text.rstrip("\0\r\n")
            offset += length
    return table


def assert_ping_answers(program=AGENT):
    r = run(program, "--ping")
    assert r.returncode == 0, (r.stdout, r.stderr)
    assert r.stdout.endswith(b"mac: valid\n")


# --- run by the SCM, registered by the test itself ---------------------------------------

def test_the_scm_runs_the_agent_until_a_stop_which_ends_with_exit_code_0(no_service):
    assert tool("create", SERVICE, win_path(AGENT)).returncode == 0
    r = tool("start", SERVICE)
    assert r.returncode == 0, r.stderr
    assert tool("wait", SERVICE, str(SERVICE_RUNNING), "30000").returncode == 0

    # The service has no environment of its own: it found the default storage directory,
    # and so does a client command that is given no OV_STORAGE_DIR either.
    wait_for_log(UP_LINE)
    assert os.path.isfile(os.path.join(STORAGE, "channel.bin"))
    assert_ping_answers()

    # Stopped within a second with every connection held, one of them with requests queued.
    holder = start(copy_program("raw_pipe_client.exe", os.path.dirname(AGENT)), "flood:63", "connect",
                   'queue:2000:{"op":"ping"}', "sleep:60000")
    try:
        lines = [holder.stdout.readline().rstrip() for _ in range(3)]
        assert lines[:2] == [b"flood opened=63 failed=0", b"connected"], lines
        r = tool("stop", SERVICE, "20000")
    finally:
        holder.kill()
        holder.wait()
    assert r.returncode == 0, (r.stdout, r.stderr)
    assert int(re.search(rb"stopped in (\d+) ms", r.stdout).group(1)) < 1000, r.stdout
    seen = statuses(r.stdout)
    # Start pending took checkpoint 1, so the stop's pending report carries 2. The status that
    # ControlService returns is the latest the SCM holds: an agent that stops within a few
    # milliseconds may already have reported stopped by then (1 run in about 25 here), and the
    # pending report is then overwritten before anyone can read it.
    assert seen[0] in (("control", SERVICE_STOP_PENDING, 0, 0, 2), ("control", SERVICE_STOPPED, 0, 0, 0))
    assert seen[-1][1:4] == (SERVICE_STOPPED, 0, 0)
    assert {s[1] for s in seen} <= {SERVICE_STOP_PENDING, SERVICE_STOPPED}
    assert_stopped_after_up()

    # Stopped for good: the pipe is gone with it.
    r = run(AGENT, "--ping")
    assert r.returncode == 3 and b"no_server" in r.stderr


def test_a_failed_start_up_is_reported_as_stopped_with_1066_without_stop_pending(storage_blocked, no_service):
    assert tool("create", SERVICE, win_path(AGENT)).returncode == 0
    assert tool("start", SERVICE).returncode == 0
    r = tool("wait", SERVICE, str(SERVICE_STOPPED), "120000")
    assert r.returncode == 0, r.stdout
    seen = statuses(r.stdout)
    assert seen[-1][1:4] == (SERVICE_STOPPED, 1066, 0)
    assert SERVICE_STOP_PENDING not in {s[1] for s in seen}


# --- "--install" and "--uninstall" ---------------------------------------------------------

def test_a_link_at_either_level_of_the_default_storage_folder_ends_start_up(tmp_path, fresh_storage):
    """The default folder is refused when a link stands at "guardian" or at "Ostrival", and
    nothing is written where the link leads, not even the log. Wine does not create Windows
    junctions or directory symbolic links, but shows a host symbolic link as a reparse point."""
    ostrival = os.path.dirname(STORAGE)
    aside = ostrival + ".kept-by-link-test"
    os.makedirs(ostrival, exist_ok=True)
    for level in (STORAGE, ostrival):
        target = tmp_path / os.path.basename(level)
        target.mkdir()
        if level == ostrival:
            os.rename(ostrival, aside)
        try:
            os.symlink(target, level)
            r = run(AGENT, "--console", timeout=120)
            assert r.returncode == 2, r.stderr
            assert r.stderr.endswith(b"ERROR storage dir unusable: C:\\ProgramData\\Ostrival\\guardian "
                                     b"(a link or junction stands in its place)\r\n"), r.stderr
            assert list(target.iterdir()) == [], level
            # Said so by --diagnose too, before who may change the levels (which Wine cannot show).
            name = r"C:\ProgramData\Ostrival" + (r"\guardian" if level == STORAGE else "")
            assert f"FAIL storage   {name}: a link or junction stands in its place;".encode() in run(
                AGENT, "--diagnose").stdout
        finally:
            os.remove(level)
            if level == ostrival:
                os.rename(aside, ostrival)


def test_a_link_in_place_of_the_storage_folder_keeps_no_localsystem_service_from_serving(tmp_path, no_service):
    """As LocalSystem the service moves a link at the storage folder's first level aside (the link,
    never what it points to), or, when it cannot, serves from a folder of its own."""
    ostrival = os.path.dirname(STORAGE)
    aside = ostrival + ".kept-by-link-test"
    had = os.path.lexists(ostrival)
    if had:
        os.rename(ostrival, aside)
    os.symlink(tmp_path, ostrival)
    try:
        r = run(AGENT, "--install")
        if WINEPREFIX and b"a link or junction stands in its place" in r.stderr:
            pytest.skip("Wine runs the service as the prefix's user, not as LocalSystem, and it refuses a link as "
                        "a console does (storage_guard_tool shows the LocalSystem path: test_hostile)")
        installed(r)
        assert_ping_answers()
        assert os.listdir(tmp_path) == []  # nothing moved or written where the link leads
    finally:
        remove_service()
        os.remove(ostrival) if os.path.islink(ostrival) else shutil.rmtree(ostrival)
        if had:
            os.rename(aside, ostrival)


def test_install_twice_then_uninstall_twice(no_service):
    # Without a service it still removes what an installation left beside it.
    assert run(AGENT, "--uninstall").stdout == NOT_INSTALLED
    dumps_parent_before = registry_values(DUMPS_PARENT_KEY)
    r, events = traced("--install")
    warning = installed(r, traced=True)
    program = win_path(AGENT)
    assert warning.startswith(f"WARNING: {program} can be changed by the installing account "), warning
    # It has waited until the service serves its pipe: the agent answers at once.
    assert_ping_answers()
    wait_for_log(UP_LINE)
    # The audit trail: the installation in the Event Log, with what it replaced and the warning;
    # in the log only when the storage folder's owner and list pass LocalSystem's rule, which a
    # folder Wine shows as the prefix user's never does (Windows: one the service made does).
    assert events[0][:2] == (4, 0x400003F1) and events[0][2][:2] == ["1.2.4", program], events
    assert len(events) == 1 and shown_as(events[0][2][2], "a new installation; " + warning), events
    assert "INFO  install: " not in log_text() and "INFO  channel.bin created" in log_text()
    assert registry_values(INSTALL_RECORD_KEY) == {"Version": ("REG_SZ", "1.2.4")}

    # The second run takes the existing service, updates it, finds it running and says so
    # without reporting "already running".
    r, events = traced("--install")
    assert installed(r, traced=True) == warning
    assert_ping_answers()
    assert shown_as(events[0][2][2], "again over the same version; " + warning), events

    config = config_of()
    assert config["path"] == '"' + win_path(AGENT) + '"'
    assert (config["type"], config["start"], config["error_control"]) == ("16", "2", "1")
    # Wine's QueryServiceConfigW leaves the list out; what it stored is then read instead.
    assert (config["dependencies"] or config.get("stored_dependencies")) == "Tcpip|Dnscache|NlaSvc|EventLog"
    assert config["account"] == "LocalSystem"
    assert config["display"] == "Ostrival Guardian"
    assert config["group"] == ""
    if "description" in config:
        assert config["description"].strip() and "\n" not in config["description"]
    if "failure_actions" in config:  # not every Wine keeps them
        assert (config["failure_reset"], config["failure_actions"]) == ("0", "1:5000,1:5000,1:5000")
    assert registry_values(SOURCE_KEY) == {"EventMessageFile": ("REG_EXPAND_SZ", win_path(AGENT)),
                                           "TypesSupported": ("REG_DWORD", "0x7")}
    dumps = registry_values(DUMPS_KEY)
    assert (dumps["DumpFolder"], dumps["DumpCount"], dumps["DumpType"]) == (
        ("REG_EXPAND_SZ", r"C:\ProgramData\Ostrival\guardian\dumps"), ("REG_DWORD", "0x5"), ("REG_DWORD", "0x1"))
    assert os.path.isdir(os.path.join(STORAGE, "dumps"))  # made by the service as it started
    # Exactly the privileges the service uses; Wine's SCM has no such setting (124).
    assert config.get("privileges") == PRIVILEGES or config.get("privileges_error") == "124", config

    r, events = traced("--uninstall")
    assert (r.returncode, r.stdout) == (0, REMOVED), r.stderr
    # Recorded while the source was still there; then the source, the dump settings and the
    # record are gone, and the key above the dump settings is as it was before.
    removed = "the service, its Event Log source and its crash dump settings"
    assert events == [(4, 0x400003F2, ["1.2.4", removed, program])], events
    assert "INFO  uninstall: " not in log_text()  # Wine: the storage folder is the prefix user's
    assert registry_values(SOURCE_KEY) is None and registry_values(DUMPS_KEY) is None
    assert registry_values(INSTALL_RECORD_KEY) is None
    assert registry_values(DUMPS_PARENT_KEY) == dumps_parent_before
    text = log_text()
    assert UP_LINE.search(text) and " INFO  guardian stopped\r\n" in text
    r = tool("status", SERVICE)
    assert r.returncode == 1 and b"(0x00000424)" in r.stderr  # the service does not exist

    r = run(AGENT, "--uninstall")
    assert (r.returncode, r.stdout, r.stderr) == (0, NOT_INSTALLED, b"")


def test_install_over_another_registration_from_a_folder_with_blanks(program_dir, no_service):
    agent = copy_program("ostrival_guardian.exe", os.path.join(program_dir, "Ostrival Guardian copy"))
    # Registered earlier for another file, started on demand and under another display name,
    # and running.
    assert tool("create", SERVICE, win_path(AGENT)).returncode == 0
    assert tool("start", SERVICE).returncode == 0
    wait_for_log(UP_LINE)

    replaced = replaced_by_install(agent)
    config = config_of()
    assert config["path"] == '"' + win_path(agent) + '"'
    assert (config["start"], config["display"]) == ("2", "Ostrival Guardian")
    assert (config["dependencies"] or config.get("stored_dependencies")) == "Tcpip|Dnscache|NlaSvc|EventLog"
    assert config.get("privileges") == PRIVILEGES or config.get("privileges_error") == "124", config
    # The other program was stopped and this one started in its place. Only a client beside
    # the serving agent is trusted, so the answer proves that the SCM runs the copy in the
    # folder with blanks.
    wait_for_log(re.compile(r"INFO  guardian stopped\r\n.*" + UP_LINE.pattern, re.S))
    assert_ping_answers(agent)
    assert re.search(r"; the service ran C:\\[^;]+\\ostrival_guardian\.exe, and was stopped; WARNING: ", replaced), replaced

    # New files put in place of the running program's (an update in place): the service is
    # restarted, so that they run; the same files again leave it running.
    fresh = agent + ".new"
    shutil.copy(exe("ostrival_guardian.exe"), fresh)
    os.replace(fresh, agent)
    ups = len(UP_LINE.findall(log_text()))
    replaced = replaced_by_install(agent)
    assert len(UP_LINE.findall(log_text())) == ups + 1
    assert "; the service ran the files from before this installation, and was restarted; WARNING: " in replaced
    installed(run(agent, "--install"))
    assert len(UP_LINE.findall(log_text())) == ups + 1

    # A stopped service refuses the stop control; removal goes on without waiting.
    r = tool("stop", SERVICE, "20000")
    assert r.returncode == 0 and statuses(r.stdout)[-1][1:4] == (SERVICE_STOPPED, 0, 0)
    r = run(agent, "--uninstall")
    assert (r.returncode, r.stdout, r.stderr) == (0, REMOVED, b"")


def test_install_refuses_a_program_that_others_could_change(program_dir, no_service):
    """Wine shows a file or folder that every Unix user may write as one that Everyone may
    change; a folder above the program's counts as others could move the program's away. Every
    file of its folder and the folders below counts, loaded or not, whatever its name (a program
    runs whatever its name, and the agent trusts every image there), and those folders."""
    agent = copy_program("ostrival_guardian.exe", os.path.join(program_dir, "a", "b"))
    beside = os.path.dirname(agent)
    os.makedirs(os.path.join(beside, "licenses"))
    for text in ("INSTALL.txt", os.path.join("licenses", "gcrypt.txt")):
        with open(os.path.join(beside, text), "w") as f:
            f.write("text\r\n")
    for path, mode in ((agent, 0o666), (os.path.join(beside, "libgcrypt-20.dll"), 0o666),
                       (os.path.join(beside, "INSTALL.txt"), 0o666), (os.path.join(beside, "licenses", "gcrypt.txt"), 0o666),
                       (os.path.join(beside, "x86"), 0o777), (beside, 0o777), (os.path.join(program_dir, "a"), 0o777)):
        os.chmod(path, mode)
        r = run(agent, "--install")
        os.chmod(path, 0o755)
        assert (r.returncode, r.stdout) == (1, b"") and r.stderr.startswith(
            b"OstrivalGuardian not installed: " + win_path(path).encode() + b" can be changed by Everyone (S-1-1-0); "
            b"install it into a folder that only LocalSystem, the Administrators and TrustedInstaller can change"), r
        assert b"(0x00000424)" in tool("status", SERVICE).stderr  # nothing was registered
    # A folder on the way that is a link (its owner could point it elsewhere after the check):
    # Wine shows a host symbolic link as a reparse point.
    os.symlink(os.path.join(program_dir, "a"), os.path.join(program_dir, "link"))
    r = run(os.path.join(program_dir, "link", "b", "ostrival_guardian.exe"), "--install")
    assert (r.returncode, r.stdout) == (1, b"") and r.stderr.startswith(
        b"OstrivalGuardian not installed: " + win_path(os.path.join(program_dir, "link")).encode() +
        b" is a link or junction; install it into"), r
    # A name chosen to deceive is printed as the log shows it.
    planted = os.path.join(beside, "x86", "\u202elld.exe\u009b2J.dll")
    with open(planted, "wb") as f:
        f.write(b"MZ")
    os.chmod(planted, 0o666)
    r = run(agent, "--install")
    os.remove(planted)
    assert r.returncode == 1 and (win_path(os.path.join(beside, "x86")).encode() +
                                  b"\\\\u202elld.exe\\u009b2J.dll can be") in r.stderr, r
    assert installed(run(agent, "--install")).startswith("WARNING: " + win_path(agent))  # the account's own files


def test_install_refuses_a_volume_root_that_others_could_empty(no_service, tmp_path):
    """The root is judged for what could move the program's folder away: a drive whose root
    every Unix user may write (Wine: Everyone may delete what it holds) is refused."""
    root = tmp_path / "root"
    copy_program("ostrival_guardian.exe", str(root / "Guardian"))
    os.chmod(root, 0o777)
    os.chmod(root / "Guardian", 0o755)
    link = os.path.join(WINEPREFIX, "dosdevices", "y:")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(str(root), link)
    try:
        r = subprocess.run([WINE_RUN, r"Y:\Guardian\ostrival_guardian.exe", "--install"], capture_output=True, timeout=180)
        assert r.returncode == 1 and r.stderr.startswith(b"OstrivalGuardian not installed: Y:\\ can be changed by "
                                                         b"Everyone (S-1-1-0)"), r
    finally:
        os.remove(link)


@pytest.mark.parametrize("stopping", [False, True])
def test_uninstall_waits_about_ten_seconds_for_a_slow_stop_then_deletes_anyway(no_service, stopping):
    # The tool serves as a stand-in service that needs 14 s to stop after the control; it is
    # already stopping, or not yet.
    assert tool("create", SERVICE, win_path(TOOL), f"serve {SERVICE} 14000").returncode == 0
    assert tool("start", SERVICE).returncode == 0
    assert tool("wait", SERVICE, str(SERVICE_RUNNING), "30000").returncode == 0
    if stopping:
        assert statuses(tool("stop", SERVICE, "0").stdout)[-1][1] == SERVICE_STOP_PENDING

    began = time.monotonic()
    r, events = traced("--uninstall")
    took = time.monotonic() - began
    assert (r.returncode, r.stdout) == (0, REMOVED)
    assert 9.8 <= took < 14, took
    # The audit trail says what happened: the service is only marked, its source stays.
    assert [(e[0], e[1]) for e in events] == [(4, 0x400003F2)], events
    assert events[0][2][1].startswith("only marked for removal, as it did not stop within 10 s (process "), events
    # Only marked for deletion so far; the SCM drops it once the service has stopped.
    r = tool("status", SERVICE)
    assert r.returncode == 0 and statuses(r.stdout)[0][1] == SERVICE_STOP_PENDING
    r = tool("remove", SERVICE, timeout=60)
    assert (r.returncode, r.stdout) == (0, b"removed\n")


def test_a_service_marked_for_deletion_fails_both_commands_with_the_error_code(no_service):
    assert tool("create", SERVICE, win_path(AGENT)).returncode == 0
    holder = subprocess.Popen([WINE_RUN, TOOL, "mark-deleted", SERVICE], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"marked\n"
        r = run(AGENT, "--uninstall")
        assert (r.returncode, r.stdout) == (1, b"")
        assert re.fullmatch(rb"DeleteService: \S.* \(0x00000430\)\n", r.stderr), r.stderr
        r = run(AGENT, "--install")
        assert (r.returncode, WARNED.sub(b"", r.stdout)) == (1, b"")
        assert re.fullmatch(rb"CreateService: \S.* \(0x00000430\)\n", r.stderr), r.stderr
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)


# --- "--diagnose" ----------------------------------------------------------------------------

CHECKS = ["program", "service", "running", "recovery", "storage", "identity", "key", "agent", "companion", "log",
          "backend"]
CHECK_LINE = re.compile(r"(ok|warn|FAIL) +(\S+) +(.*?)(?:; to do: (.*))?")


def diagnose(program=AGENT, env=None):
    """--diagnose, then --diagnose --json, which must give the same exit code and verdicts:
    (exit code, {check: (verdict, found, to do, state)}, the evidence lines below the checks)."""
    text, doc = run(program, "--diagnose", env=env), run(program, "--diagnose", "--json", env=env)
    assert (text.returncode, text.stderr, doc.returncode, doc.stderr) == (text.returncode, b"", text.returncode, b"")
    checks, evidence = {}, []
    for line in text.stdout.decode().splitlines():
        if line.startswith(" "):
            evidence.append(line.strip())
        else:
            verdict, name, found, todo = CHECK_LINE.fullmatch(line).groups()
            checks[name] = (verdict, found, todo or "")
    parsed = json.loads(doc.stdout)
    assert sorted(parsed) == ["checks", "format", "host", "time", "verdict", "version"]
    assert (parsed["format"], parsed["version"]) == (1, "1.2.4") and parsed["host"]
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", parsed["time"])
    for c in parsed["checks"]:
        assert sorted(c) == ["check", "found", "lines", "state", "todo", "verdict"]
        assert re.fullmatch(r"[a-z_]+", c["state"]), c
        # The same texts, but where a run differs from the next (timings, the companion's checks).
        if c["check"] not in ("agent", "backend", "identity", "companion", "log"):
            assert (c["verdict"], c["found"], c["todo"]) == checks[c["check"]], c
        checks[c["check"]] += (c["state"],)
    assert [(c["check"], c["verdict"]) for c in parsed["checks"]] == [(n, c[0]) for n, c in checks.items()]
    worst = {c[0] for c in checks.values()}
    assert parsed["verdict"] == next(v for v in ("FAIL", "warn", "ok") if v in worst)
    assert list(checks) == CHECKS and text.returncode == (1 if "FAIL" in worst else 0)
    # What a check could not look at says so, with its premise, and advises nothing.
    for name, check in checks.items():
        assert (check[3] == "not_checked") == check[1].startswith("not checked: "), (name, check)
        assert check[3] != "not_checked" or (check[0], check[2]) == ("warn", ""), (name, check)
    return text.returncode, checks, evidence


def test_diagnose_a_healthy_service_then_a_stopped_one_then_one_without_channel_bin(no_service):
    began = time.monotonic()
    installed(run(AGENT, "--install"))
    code, checks, evidence = diagnose()
    # Just after the start the companion has not been checked yet: not "ok" (no companion runs
    # here). The agent checks it 10 s after its start.
    if time.monotonic() - began < 8:
        assert checks["companion"] == ("warn", "ostrival_sentinel.exe not checked yet: the agent checks it 10 s after "
                                       "its start, then every 60 s", "run --diagnose again in a minute",
                                       "not_checked_yet")
    verdicts = {name: check[0] for name, check in checks.items()}
    # Not for this build to pass: its backend origin is a placeholder, and no companion runs
    # beside the agent.
    assert verdicts.pop("backend") == "warn" and verdicts.pop("companion") == "warn"
    assert checks["companion"][3] in ("not_checked_yet", "no_server"), checks["companion"]
    # Wine's SCM keeps no failure actions (124). Wine keeps no folder's security descriptor
    # either and shows the prefix's user as every folder's owner, which the agent does not trust.
    recovery = verdicts.pop("recovery")
    assert recovery == "ok" or checks["recovery"][1].endswith("(0x0000007C)")
    wine_storage = re.search(r"^C:\\ProgramData\\Ostrival is owned by .* \(S-1-5-21-[\d-]+\)$", checks["storage"][1])
    assert verdicts.pop("storage") == "ok" or wine_storage
    assert set(verdicts.values()) == {"ok"} and code == (1 if wine_storage else 0), checks
    assert re.fullmatch(r"agent 1\.2\.4 \(process \d+\) answered ping in [\d.]+ ms, its MAC valid", checks["agent"][1])
    assert all(re.match(r"\S+Z \[\d+\] (WARN |ERROR) ", line) for line in evidence), evidence
    assert (checks["program"][3], checks["key"][3], checks["agent"][3]) == ("ok", "opens", "answered")

    assert tool("stop", SERVICE, "20000").returncode == 0
    code, checks, _ = diagnose()
    assert code == 1 and checks["running"][:2] == ("FAIL", "stopped")
    assert checks["running"][2] == "start the service as an administrator: sc start " + SERVICE
    # The agent's check needs a running service: the running check says what to do.
    assert checks["agent"][1] == "not checked: no agent serves its pipe, and the service does not run"
    assert checks["companion"][3] == "not_checked"

    os.remove(os.path.join(STORAGE, "channel.bin"))
    code, checks, _ = diagnose()
    assert code == 1 and checks["key"][:2] == ("FAIL", STORAGE_WIN + r"\channel.bin is missing")
    assert checks["key"][2] == "start (or restart) the service: it makes a new secret"
    assert checks["agent"] == ("warn", "not checked: no channel key", "", "not_checked")

    # A damaged file cannot be told from another device's: both are named, with one remedy.
    with open(os.path.join(STORAGE, "channel.bin"), "wb") as f:
        f.write(b"\x01" * 40)
    key = diagnose()[1]["key"]
    assert (key[0], key[3]) == ("FAIL", "sealed_elsewhere") and key[1] == (
        STORAGE_WIN + r"\channel.bin was sealed under another device fingerprint, or damaged (the hardware changed, "
        "the file came from another machine, or it was cut short or overwritten)"), key
    # A folder in its place is no matter of rights: the key fails, and the service says why.
    os.remove(os.path.join(STORAGE, "channel.bin"))
    os.mkdir(os.path.join(STORAGE, "channel.bin"))
    shown = STORAGE_WIN + r"\channel.bin"
    steps = (f'sc stop OstrivalGuardian, rmdir /s "{shown}" (after saving what it holds), sc start OstrivalGuardian: '
             "it makes a new secret, which the companion and the suite's applications read once restarted")
    assert diagnose()[1]["key"] == ("FAIL", shown + ": a folder stands where channel.bin belongs",
                                    "as an administrator: " + steps, "folder")
    r = run(AGENT, "--install")
    assert r.returncode == 1 and r.stderr.decode().splitlines()[-1] == (
        "OstrivalGuardian did not start: no channel secret: channel.bin cannot be read: a folder stands where it "
        "belongs; as an administrator: " + steps), r.stderr


def test_diagnose_says_not_checked_where_a_premise_failed(no_service):
    # No service, and no storage folder yet: nothing below the service is judged, and nothing
    # advises to start a service that does not exist.
    _, checks, _ = diagnose()
    missing = STORAGE_WIN + " is missing"
    assert [checks[n][1][len("not checked: "):] for n in ("running", "recovery", "storage", "key", "log")] == [
        "OstrivalGuardian is not installed"] * 2 + [missing + ", and no service is installed to make it"] + [
        f"there is no storage folder ({missing})"] * 2, checks
    assert not any("sc start" in check[2] for check in checks.values()), checks

    # A file where the storage folder belongs, with a service registered: the folder fails, and
    # the key and the log are not checked (no "it makes a new secret").
    os.makedirs(os.path.dirname(STORAGE), exist_ok=True)
    open(STORAGE, "wb").close()
    assert tool("create", SERVICE, win_path(AGENT)).returncode == 0
    _, checks, _ = diagnose()
    file_there = STORAGE_WIN + ": a file stands in its place"
    assert checks["storage"] == ("FAIL", file_there, "remove the file, then start the service", "file")
    assert checks["key"][1] == checks["log"][1] == f"not checked: the storage folder is unusable ({file_there})"

    # --install waits for what the service makes of its start: it stops, and the installation
    # fails with its reason. (Its log could not be written: the reason is the folder.)
    r, events = traced("--install")
    assert (r.returncode, WARNED.sub(b"", r.stdout)) == (1, b"")
    said = [line for line in r.stderr.decode().splitlines() if not re.match(r"[0-9a-f]{4}:", line)]  # not the trace
    assert said[-1] == f"OstrivalGuardian did not start: storage dir unusable: {file_there}", r.stderr
    assert events[0][2][:2] == ["1.2.4", win_path(AGENT)] and len(events) == 2
    assert events[0][2][2].startswith("over an earlier installation of unknown version; WARNING: "), events
    # The failure is recorded as the installation was (the log cannot be written here).
    assert events[1] == (1, 0xC00003F5, ["1.2.4", win_path(AGENT), f"OstrivalGuardian did not start: storage dir "
                                         f"unusable: {file_there}"]), events
    assert diagnose()[1]["running"][0::3] == ("FAIL", "failed_start")

    # A level that others could change (and so point elsewhere meanwhile): nothing is read
    # through it. (Wine shows a folder every Unix user may write as one Everyone may change.)
    os.remove(STORAGE)
    os.mkdir(STORAGE)
    os.chmod(os.path.dirname(STORAGE), 0o777)
    try:
        _, checks, _ = diagnose()
    finally:
        os.chmod(os.path.dirname(STORAGE), 0o755)
    assert checks["key"][1] == checks["log"][1] == (r"not checked: C:\ProgramData\Ostrival can be changed by Everyone "
                                                    "(S-1-1-0), who could point it elsewhere meanwhile"), checks


def test_diagnose_fails_the_program_when_a_file_it_ships_is_missing(program_dir, no_service):
    agent = copy_program("ostrival_guardian.exe", str(program_dir / "Guardian"))
    os.remove(program_dir / "Guardian" / "libgcrypt-20.dll")
    assert diagnose(agent)[1]["program"] == (
        "FAIL", f"ostrival_guardian 1.2.4, {win_path(agent)}; missing from its folder: libgcrypt-20.dll",
        "repair the installation (msiexec /f with its MSI), or copy the files back from its zip", "files_missing")


# --- the built programs' resources ---------------------------------------------------------

def test_the_programs_carry_version_and_manifest_and_the_agent_its_event_messages():
    for name, description in (("ostrival_guardian.exe", "Ostrival Guardian device agent"),
                              ("ostrival_sentinel.exe", "Ostrival Guardian companion watchdog")):
        pe = pefile.PE(exe(name))
        fixed = pe.VS_FIXEDFILEINFO[0]
        assert (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS) == (
            0x10002, 0x40000, 0x10002, 0x40000), name
        strings = {key.decode(): value.decode() for info in pe.FileInfo[0] if hasattr(info, "StringTable")
                   for table in info.StringTable for key, value in table.entries.items()}
        assert strings == {"CompanyName": "Ostrival", "FileDescription": description, "FileVersion": "1.2.4",
                           "InternalName": name[:-4], "OriginalFilename": name, "ProductName": "Ostrival Guardian",
                           "ProductVersion": "1.2.4"}
        manifest = resource(pe, 24)
        assert b'level="asInvoker"' in manifest and b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" in manifest, name
    assert message_table(pefile.PE(exe("ostrival_guardian.exe"))) == MESSAGES
