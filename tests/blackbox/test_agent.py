"""The running agent in console mode: its client commands, its pipe, and how it stops."""
import hashlib
import hmac
import json
import os
import re
import subprocess
import time

import pytest

from conftest import (STARTED, Console, client, copy_program, exe, raw, run, start, start_agent, win_path)

HEX32 = re.compile(r"[0-9a-f]{32}")
README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")
ISO = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


def reply_and_mac(stdout):
    text = stdout.decode()
    body, _, mac_line = text.rpartition("}\n")
    return json.loads(body + "}"), mac_line


def replies(lines):
    out = []
    for line in lines:
        if line.startswith("reply "):
            out.append(json.loads(line[6:]))
        elif line in ("closed", "timeout"):
            out.append(line)
    return out


def test_client_commands_get_authenticated_replies(agent, storage):
    ping = client("--ping", storage_win=storage[1])
    assert ping.returncode == 0, ping.stderr
    reply, mac = reply_and_mac(ping.stdout)
    assert mac == "mac: valid\n"
    assert list(reply) == ["body", "mac", "nonce", "ok"] and reply["ok"] is True
    body = reply["body"]
    assert sorted(body) == ["agent", "fp", "nonce", "pid", "t", "version"]
    assert body["agent"] == "guardian" and body["version"] == "1.2.4" and isinstance(body["pid"], int)
    assert ISO.fullmatch(body["t"]) and HEX32.fullmatch(body["nonce"]) and body["nonce"] == reply["nonce"]
    # The reply is printed in the library's indented form.
    assert ping.stdout.decode().startswith('{\n  "body": {\n    "agent": "guardian",\n')

    specs = client("--specs", storage_win=storage[1])
    assert specs.returncode == 0
    reply, mac = reply_and_mac(specs.stdout)
    assert mac == "mac: valid\n"
    assert sorted(reply["body"]) == ["fp", "fp_parts", "hw", "nonce"]
    assert reply["body"]["fp"] == body["fp"]
    assert sorted(reply["body"]["hw"]) == ["board", "cpu", "disks", "gpu", "hostname", "os", "ram_mb"]

    peer = client("--peer", storage_win=storage[1])
    assert peer.returncode == 0
    reply, mac = reply_and_mac(peer.stdout)
    assert mac == "mac: valid\n"
    assert sorted(reply["body"]) == ["checked", "nonce", "peer", "reason", "since"]
    assert reply["body"]["peer"] == "ok" and ISO.fullmatch(reply["body"]["since"])
    assert (reply["body"]["checked"], reply["body"]["reason"]) == (False, "")  # not checked yet


def test_bad_input_gets_the_exact_replies_and_never_hurts_the_agent(agent, storage):
    s = storage[1]
    # Over the limit: the connection is closed without a reply.
    assert replies(raw("connect", "len:65537", "read", storage_win=s)) == ["closed"]
    # Exactly at the limit, valid JSON: processed.
    [big] = replies(raw("connect", "pad:65536", "read", storage_win=s))
    assert big["ok"] is True and big["body"]["agent"] == "guardian"
    # Zero length, not JSON, not an object: "bad_request", and the connection stays open.
    bad = {"body": {"error": "bad_request"}, "ok": False}
    got = replies(raw("connect", "frame:", "read", "frame:{nope", "read", "frame:[1,2]", "read", 'frame:"text"', "read",
                      "frame:42", "read", "mac:peer:abc", "read", storage_win=s))
    assert got[:5] == [bad] * 5
    assert got[5]["ok"] is True and got[5]["body"]["nonce"] == "abc"
    # Members of the wrong type read as empty texts.
    got = replies(raw("connect", 'frame:{"op":5}', "read", 'frame:{"op":"ping","nonce":7}', "read",
                      'frame:{"op":"peer","nonce":"abc","mac":7}', "read", storage_win=s))
    assert got[0]["ok"] is False and got[0]["body"]["error"] == "bad_mac"
    assert got[1]["ok"] is True and HEX32.fullmatch(got[1]["nonce"])
    assert got[2]["body"] == {"error": "bad_mac", "nonce": "abc"} and "mac" in got[2]
    # Nonces of 0, 128 and 129 bytes.
    n128, n129 = "a" * 128, "b" * 129
    got = replies(raw("connect", 'frame:{"op":"ping","nonce":""}', "read", 'frame:{"op":"ping","nonce":"%s"}' % n128,
                      "read", "mac:peer:" + n129, "read", storage_win=s))
    assert HEX32.fullmatch(got[0]["nonce"])
    assert got[1]["nonce"] == n128 and got[1]["body"]["nonce"] == n128
    assert got[2]["body"]["error"] == "bad_mac" and HEX32.fullmatch(got[2]["nonce"])
    # A truncated frame: the client goes away in the middle of a payload.
    raw("connect", "raw:64000000" + "7b226f70223a", "close", storage_win=s)
    # Operation names are exact.
    got = replies(raw("connect", 'frame:{"op":"PING"}', "read", "mac:Ping:n1", "read", storage_win=s))
    assert got[0]["body"]["error"] == "bad_mac" and got[1]["body"] == {"error": "unknown_op", "nonce": "n1"}
    # The agent still answers.
    assert client("--ping", storage_win=s).returncode == 0
    assert agent.stderr.count(b"WARN  pipe: bad mac for op ") == 4


@pytest.mark.slow
def test_silent_client_is_disconnected_after_thirty_seconds_while_others_are_served(agent, storage):
    s = storage[1]
    started = time.monotonic()
    silent = start(exe("raw_pipe_client.exe"), "connect", "read:40000", env={"OV_STORAGE_DIR": s})
    stalled = start(exe("raw_pipe_client.exe"), "connect", "len:100", "read:40000", env={"OV_STORAGE_DIR": s})
    time.sleep(1)
    t0 = time.monotonic()
    assert client("--ping", storage_win=s).returncode == 0
    assert time.monotonic() - t0 < 10
    out_silent, _ = silent.communicate(timeout=60)
    out_stalled, _ = stalled.communicate(timeout=60)
    assert out_silent.decode().splitlines()[-1] == "closed"
    assert out_stalled.decode().splitlines()[-1] == "closed"
    assert 29 <= time.monotonic() - started < 45


def test_untrusted_client_is_refused_every_time(agent, storage, tmp_path):
    stranger = copy_program("raw_pipe_client.exe", str(tmp_path / "elsewhere"))
    got = replies(raw("connect", "mac:peer:abc", "read", "frame:{nope", "read", "frame:", "read",
                      storage_win=storage[1], program=stranger))
    assert got == [{"body": {"error": "untrusted_client"}, "ok": False}] * 3
    warnings = [l for l in agent.stderr.decode().splitlines() if "WARN  pipe: untrusted client pid " in l]
    assert len(warnings) == 3
    assert warnings[0].endswith("image " + win_path(stranger))


def test_client_from_another_folder_refuses_the_agent_unless_unpinned(agent, storage, tmp_path):
    elsewhere = copy_program("ostrival_guardian.exe", str(tmp_path / "copy"))
    r = client("--ping", storage_win=storage[1], program=elsewhere)
    assert (r.returncode, r.stderr) == (3, b"pipe error: untrusted_server\n")
    assert r.stdout == b""
    # Unpinned: the server is not checked; the agent refuses the stranger instead.
    r = client("--ping", "--unpinned", storage_win=storage[1], program=elsewhere)
    assert r.returncode == 4
    reply, mac = reply_and_mac(r.stdout)
    assert reply == {"body": {"error": "untrusted_client"}, "ok": False}
    assert mac == "mac: INVALID/absent\n"


@pytest.mark.slow
def test_two_thousand_requests_each_on_a_new_connection(agent, storage):
    [line] = [l for l in raw("repeat:2000:peer", storage_win=storage[1], timeout=600) if l.startswith("repeat")]
    assert line == "repeat ok=2000 failed=0"


@pytest.mark.slow
def test_ctrl_c_while_clients_are_connected_and_mid_request(storage):
    s = storage[1]
    agent = start_agent(s)
    idle = start(exe("raw_pipe_client.exe"), "connect", "sleep:60000", env={"OV_STORAGE_DIR": s})
    partial = start(exe("raw_pipe_client.exe"), "connect", "len:100", "sleep:60000", env={"OV_STORAGE_DIR": s})
    # Sends a request and never reads the reply.
    deaf = start(exe("raw_pipe_client.exe"), "connect", 'frame:{"op":"ping"}', "sleep:60000",
                 env={"OV_STORAGE_DIR": s})
    time.sleep(2)
    t0 = time.monotonic()
    code = agent.interrupt(timeout=20)
    assert code == 0
    assert time.monotonic() - t0 < 10
    assert agent.stderr.endswith(b"INFO  guardian stopped\r\n")
    for p in (idle, partial, deaf):
        p.kill()
        p.wait()
    # After the banner, every log line on standard error ends in exactly one CR LF.
    banner, _, log = agent.stderr.partition(b"\n")
    assert banner.startswith(b"Ostrival Guardian 1.2.4 (console mode, pid ")
    lines = log.split(b"\r\n")
    assert lines[-1] == b"" and all(b"\r" not in l and b"\n" not in l for l in lines)


def test_no_agent_gives_no_server_at_once(storage):
    s = storage[1]
    agent = start_agent(s)
    assert agent.interrupt() == 0
    t0 = time.monotonic()
    r = client("--ping", storage_win=s)
    assert (r.returncode, r.stderr, r.stdout) == (3, b"pipe error: no_server\n", b"")
    assert time.monotonic() - t0 < 10


def test_without_channel_secret_the_client_stops_before_the_pipe(tmp_path):
    r = client("--peer", storage_win=win_path(str(tmp_path)))
    assert r.returncode == 2
    assert r.stderr == "channel.bin not readable \u2014 is the guardian running?\n".encode()
    assert r.stdout == b""


def test_storage_dir_mistakes_end_start_up_with_a_clear_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    deep = tmp_path / ("d" * 200)
    cases = [(win_path(str(blocker / "storage")), "cannot be created: "),
             (win_path(str(blocker)), "a file stands in its place)"),
             (win_path(str(deep)), "path too long: %d characters, at most 200 leave room for the agent's files "
                                   "within a Windows path)" % len(win_path(str(deep))))]
    for target, reason in cases:
        r = run(exe("ostrival_guardian.exe"), "--console", env={"OV_STORAGE_DIR": target}, timeout=120)
        assert r.returncode == 2
        assert ("ERROR storage dir unusable: %s (%s" % (target, reason)).encode() in r.stderr, r.stderr
        assert b"guardian stopped" not in r.stderr
    assert not deep.exists()  # nothing of it was created

    # Too long to read is an error too, never a reason to take the default folder.
    overlong = "C:\\" + "x" * 5000
    r = run(exe("ostrival_guardian.exe"), "--console", env={"OV_STORAGE_DIR": overlong}, timeout=120)
    too_long = b"OV_STORAGE_DIR is too long (5003 characters; at most 4095 can be read)"
    assert r.returncode == 2 and r.stderr.endswith(b"ERROR storage dir unusable: " + too_long + b"\r\n"), r.stderr
    r = client("--peer", storage_win=overlong)
    assert (r.returncode, r.stderr, r.stdout) == (2, too_long + b"\n", b"")


@pytest.mark.parametrize("value,warned", [("0", False), ("-5", False), ("abc", False), ("15", True), ("60", False)])
def test_watchdog_interval_override_is_announced_only_when_it_changes(storage, value, warned):
    agent = start_agent(storage[1], {"OV_WATCHDOG_INTERVAL_SEC": value})
    assert agent.interrupt() == 0
    line = b"WARN  OV_WATCHDOG_INTERVAL_SEC override: peer ping every 15 s\r\n"
    assert (line in agent.stderr) == warned
    assert agent.stderr.count(b"OV_WATCHDOG_INTERVAL_SEC") == (1 if warned else 0)


def test_start_up_line_and_banner(storage):
    agent = start_agent(storage[1])
    assert agent.interrupt() == 0
    text = agent.stderr.decode()
    assert "identity pass" not in text  # it ran in its child process
    first = text.splitlines()[0]
    assert re.fullmatch(r"Ostrival Guardian 1\.2\.4 \(console mode, pid \d+\)\. Ctrl\+C to stop\.", first)
    m = re.search(r"INFO  guardian 1\.2\.4 up; fp ([0-9a-f]+)\u2026 parts (\d); storage (.*)\r\n", text)
    assert m and len(m.group(1)) == 12 and m.group(3) == storage[1]
    log = open(os.path.join(storage[0], "guardian.log"), "rb").read()
    assert log.endswith(b"INFO  guardian stopped\r\n")


def test_without_wmi_the_identity_pass_runs_in_the_agent_and_logs_why(storage):
    # The child's document then has only the "mguid" part: the agent runs the pass itself, and
    # the WMI failure is logged with its cause. A channel.bin sealed under that identity spares the
    # wait for an identity to settle.
    no_wmi = {"WINEDLLOVERRIDES": "mscoree,mshtml=;wbemprox="}
    fp = json.loads(run(exe("ostrival_guardian.exe"), "--fingerprint", env=no_wmi).stdout)["fp"]
    assert run(exe("channel_secret_tool.exe"), storage[1], fp).returncode == 0
    agent = start_agent(storage[1], no_wmi)
    assert agent.interrupt() == 0
    text = agent.stderr.decode()
    assert "WARN  identity pass in a child process: no part from WMI; running it in the agent\r\n" in text
    assert text.count(" ERROR WMI locator failed: ") == 1
    assert re.search(r"INFO  guardian 1\.2\.4 up; fp [0-9a-f]{12}\u2026 parts 1;", text)


# --- the client library, through its C test program ---------------------------------------

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "sdk", "include", "guardian_client.h")


def library(*args, timeout=300):
    """Runs the client library's test program (C, header and import library only); its lines."""
    r = run(exe("client_library_tool.exe"), *args, timeout=timeout)
    assert r.returncode == 0, (r.stdout, r.stderr)
    return r.stdout.decode().splitlines()


def test_client_library_exports_its_interface_only_and_carries_its_version():
    import pefile
    declared = sorted(set(re.findall(r"GUARDIAN_CALL (guardian_\w+)\(", open(HEADER).read())))
    assert len(declared) == 12
    # The 32-bit DLL exports the same names, undecorated, though its functions are __stdcall.
    for dll in (exe("ostrival_guardian_client.dll"), os.path.join(exe("x86"), "ostrival_guardian_client.dll")):
        exported = sorted(e.name.decode() for e in pefile.PE(dll).DIRECTORY_ENTRY_EXPORT.symbols)
        assert exported == declared, dll
    pe = pefile.PE(exe("ostrival_guardian_client.dll"))
    strings = {k.decode(): v.decode() for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for k, v in table.entries.items()}
    assert strings == {"CompanyName": "Ostrival", "FileDescription": "Ostrival Guardian client library",
                       "FileVersion": "1.2.4", "InternalName": "ostrival_guardian_client",
                       "OriginalFilename": "ostrival_guardian_client.dll", "ProductName": "Ostrival Guardian",
                       "ProductVersion": "1.2.4"}
    fixed = pe.VS_FIXEDFILEINFO[0]
    assert (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS) == (0x10002, 0x40000, 0x10002)


def test_client_library_gets_authentic_replies_from_many_threads_and_from_an_sta(agent, storage):
    s = storage[1]
    # Loading the library sets up nothing: COM is still uninitialised on the loading thread.
    assert library("loaded") == ["loaded com 0x800401f0"]
    got = {}
    for line in library("ops", s):
        op, result, code, body = line.split(" ", 3)
        got[op] = (result, code, json.loads(body))
    assert got["ping"][:2] == ("ok", "-") and got["ping"][2]["agent"] == "guardian"
    assert got["specs"][0] == "ok" and got["specs"][2]["fp"] == got["ping"][2]["fp"]
    assert got["peer"][0] == "ok" and sorted(got["peer"][2]) == ["checked", "nonce", "peer", "reason", "since"]
    # An operation the agent does not serve: an authentic refusal, with its wire code.
    assert got["no_such_op"][:2] == ("not_ok", "unknown_op") and got["no_such_op"][2]["error"] == "unknown_op"

    assert library("threads", s, "8", "500", timeout=600) == ["threads ok=4000 failed=0 first=ok"]
    # On a thread that joined a single-threaded apartment first, the apartment is left as it
    # was, and the process's COM security is still the host's to set (under Wine
    # CoInitializeSecurity always succeeds, so there only the apartment shows).
    assert library("sta", s) == ["sta ok before=mainsta after=mainsta security=0x00000000"]


def test_client_library_without_key_trust_or_server(storage, tmp_path):
    s = storage[1]
    assert library("one", win_path(str(tmp_path)), "ping", "5000")[0].startswith("no_key ")
    elsewhere = copy_program("ostrival_guardian.exe", str(tmp_path / "copy"))
    agent = start_agent(s, program=elsewhere)
    try:
        assert library("one", s, "ping", "5000")[0].split()[0] == "untrusted_server"
    finally:
        assert agent.interrupt() == 0
    result, ms = library("one", s, "ping", "5000")[0].split()
    assert result == "no_server" and int(ms) < 5000


def test_client_library_request_cancelled_from_another_thread_ends_at_once(agent, storage):
    pipe = r"\\.\pipe\Ostrival.Test.Silent"
    silent = start(exe("fake_sentinel.exe"), "--pipe", pipe, "silent", stdin=subprocess.PIPE)
    try:
        assert silent.stdout.readline() == b"ready\n"
        [line] = library("cancel", storage[1], pipe)
        word, result, ms = line.split()
        # At once: far within the request's own limit, also on a busy machine (153 ms was seen).
        assert (word, result) == ("cancel", "cancelled") and int(ms) < 1000, line
    finally:
        silent.kill()
        silent.wait()


def test_client_library_reads_the_key_again_once_the_agent_made_a_new_secret(storage):
    s = storage[1]
    agent = start_agent(s)
    tool = start(exe("client_library_tool.exe"), "rekey", s, stdin=subprocess.PIPE)
    try:
        assert tool.stdout.readline().split() == [b"first", b"ok"]
        # The agent's folder is reset: a new agent makes a new secret.
        assert agent.interrupt() == 0
        os.remove(os.path.join(storage[0], "channel.bin"))
        agent = start_agent(s)
        # The agent says it is up just before it makes its pipe; the tool, already running, would
        # otherwise ask within that moment and find no pipe.
        assert client("--ping", storage_win=s).returncode == 0
        out, _ = tool.communicate(b"go\n", timeout=120)
        assert out.split() == [b"second", b"ok"]
        assert b"INFO  channel.bin created" in agent.stderr
    finally:
        tool.kill()
        assert agent.interrupt() == 0


def channel_key(secret, fingerprint):
    return hashlib.sha256(b"ostrival-channel-v1" + secret + fingerprint.encode()).digest()


def canonical(value):
    """The canonical form, for what the agent's replies hold: objects, arrays, strings, integers."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def example_values(block):
    """The label and value lines of one of the README's worked examples."""
    block = block.split("```text\n", 1)[1].split("```", 1)[0]
    values, last = {}, None
    for line in block.splitlines():
        if line.startswith(" "):
            values[last] = line.split("= ", 1)[1]
        else:
            last, _, rest = line.partition("  ")
            values[last] = rest.strip()
    return values


def test_the_readmes_worked_example_holds_and_a_client_made_by_its_steps_is_served(agent, storage):
    """The README's worked example follows from the steps it gives, and a "peer" request made by
    those steps alone (with Python's own hashing) gets an authentic answer from the agent."""
    block = open(README, encoding="utf-8").read().split("## Worked example", 1)[1]
    values = example_values(block)
    fp = hashlib.sha256(b"worked example").hexdigest()
    key = channel_key(bytes(range(32)), fp)
    nonce = values["nonce"]
    request = {"mac": hmac.new(key, f"peer|{nonce}".encode(), "sha256").hexdigest(), "nonce": nonce, "op": "peer"}
    assert (values["fingerprint"], values["channel key"]) == (fp, key.hex())
    assert (values["request MAC"], values["request"]) == (request["mac"], canonical(request))
    assert values["frame"].startswith(len(values["request"]).to_bytes(4, "little").hex(" ") + ",")
    body = json.loads(values["reply body"])
    assert values["body MAC"] == hmac.new(key, canonical(body).encode(), "sha256").hexdigest()
    assert values["reply"] == canonical({"body": body, "mac": values["body MAC"], "nonce": nonce, "ok": True})

    # The second example: a body that holds an array, written by another writer, and its
    # canonical form, over which the MAC is computed.
    array = example_values(block.split("### A body that holds an array", 1)[1])
    nonce2 = array["nonce"]
    assert array["request MAC"] == hmac.new(key, f"specs|{nonce2}".encode(), "sha256").hexdigest()
    body2 = json.loads(array["reply body"])
    assert array["reply body"] != array["canonical form"] == canonical(body2)
    assert isinstance(body2["hw"]["disks"], list) and body2["nonce"] == nonce2
    assert array["body MAC"] == hmac.new(key, array["canonical form"].encode(), "sha256").hexdigest()
    assert f"{len(array['canonical form'].encode())} bytes" in open(README, encoding="utf-8").read()

    # The same steps against the agent: this machine's fingerprint, the secret in channel.bin.
    fp = json.loads(run(exe("ostrival_guardian.exe"), "--fingerprint").stdout)["fp"]
    secret = bytes.fromhex(run(exe("channel_secret_tool.exe"), storage[1], fp).stdout.decode().strip())
    key = channel_key(secret, fp)
    nonce = os.urandom(16).hex()
    request = {"mac": hmac.new(key, f"peer|{nonce}".encode(), "sha256").hexdigest(), "nonce": nonce, "op": "peer"}
    reply = replies(raw("connect", "frame:" + canonical(request), "read", storage_win=storage[1]))[0]
    assert reply["ok"] is True and reply["body"]["nonce"] == nonce and reply["body"]["peer"] == "ok", reply
    assert hmac.compare_digest(reply["mac"], hmac.new(key, canonical(reply["body"]).encode(), "sha256").hexdigest())
    # A "specs" reply, whose body holds arrays, verifies under the same rule.
    nonce = os.urandom(16).hex()
    request = {"mac": hmac.new(key, f"specs|{nonce}".encode(), "sha256").hexdigest(), "nonce": nonce, "op": "specs"}
    reply = replies(raw("connect", "frame:" + canonical(request), "read", storage_win=storage[1]))[0]
    assert reply["ok"] is True and isinstance(reply["body"]["hw"]["disks"], list), reply
    assert hmac.compare_digest(reply["mac"], hmac.new(key, canonical(reply["body"]).encode(), "sha256").hexdigest())
