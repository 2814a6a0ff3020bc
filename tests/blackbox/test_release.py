"""The release packages: the MSI installed, upgraded and removed silently under Wine the way
management tools run msiexec, and the Authenticode signatures of a signed build.

The packages come from the "release_packages" set-up test: this tree's version, and the
next build number from a second build tree. Every MSI test starts and ends with no product
and no service installed and the default storage directory as it was."""
import os
import re
import shutil
import subprocess
import time
import zipfile

import pytest

from conftest import WINE_RUN, WINEPREFIX, exe, run, win_path
# The service tests' helpers; their fixtures scm_ready (autouse) and fresh_storage apply here
# by being imported.
from test_service import (SERVICE, SERVICE_RUNNING, SOURCE_KEY, STORAGE, TRACE_EVENTS, config_of, event_log_entries,
                          fresh_storage, log_text, registry_values, remove_service, scm_ready, tool, wait_for_log)

VERSION = os.environ.get("GUARDIAN_VERSION", "")
UPGRADE_VERSION = os.environ.get("GUARDIAN_UPGRADE_VERSION", "")
PACKAGES = os.environ.get("GUARDIAN_PACKAGES", "")
UPGRADE_PACKAGES = os.environ.get("GUARDIAN_UPGRADE_PACKAGES", "")

SUITE_DIR = os.path.join(WINEPREFIX, "drive_c", "Program Files", "Ostrival")
PROGRAM_DIR = os.path.join(SUITE_DIR, "Guardian")
INSTALLED_AGENT = r"C:\Program Files\Ostrival\Guardian\ostrival_guardian.exe"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
CHANNEL_BIN = os.path.join(STORAGE, "channel.bin")
PROGRAMS = ["ostrival_guardian.exe", "ostrival_guardian_client.dll", "libgcrypt-20.dll", "libgpg-error-0.dll"]
# The 32-bit client library and the DLLs it loads, for 32-bit applications.
PROGRAMS_X86 = ["x86/ostrival_guardian_client.dll", "x86/libgcrypt-20.dll", "x86/libgpg-error-0.dll"]
SDK_SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "sdk")


def package(folder, version, kind="msi"):
    return os.path.join(folder, f"OstrivalGuardian-{version}-x64.{kind}")


def product_code(msi):
    out = subprocess.run(["msiinfo", "export", msi, "Property"], check=True, capture_output=True).stdout
    return re.search(rb"^ProductCode\t(\{[0-9A-F-]{36}\})", out, re.M).group(1).decode()


def build_packages(out, *sign):
    """Runs the packaging script of this build tree into OUT, signed with (cert, key) if given."""
    defines = ["-D", "GUARDIAN_PACKAGE_CONFIG=" + os.environ["GUARDIAN_PACKAGE_CONFIG"],
               "-D", f"GUARDIAN_PACKAGE_DIR={out}"]
    if sign:
        defines += ["-D", f"GUARDIAN_SIGN_CERT={sign[0]}", "-D", f"GUARDIAN_SIGN_KEY={sign[1]}"]
    r = subprocess.run(["cmake", *defines, "-P", os.environ["GUARDIAN_PACKAGE_SCRIPT"]],
                       capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr
    return r.stdout.decode()


def make_signer(folder):
    """A throw-away CA and a code-signing certificate it issued: (CA file, chain file, key file)."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Guardian Test CA", "-addext", "basicConstraints=critical,CA:true",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key", "-out", "signer.csr",
            "-subj", "/CN=Guardian Test Signer")
    (folder / "signer.cnf").write_text("basicConstraints=CA:false\nkeyUsage=critical,digitalSignature\n"
                                       "extendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-days", "2", "-extfile", "signer.cnf", "-out", "signer.pem")
    (folder / "chain.pem").write_bytes((folder / "signer.pem").read_bytes() + (folder / "ca.pem").read_bytes())
    return folder / "ca.pem", folder / "chain.pem", folder / "signer.key"


def verify(path, ca=None):
    ca_args = ["-CAfile", str(ca)] if ca else []
    return subprocess.run(["osslsigncode", "verify", *ca_args, "-in", str(path)], capture_output=True).returncode


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """This version's packages signed with a throw-away certificate: (CA file, package folder)."""
    folder = tmp_path_factory.mktemp("signing")
    ca, chain, key = make_signer(folder)
    output = build_packages(folder / "out", chain, key)
    assert "signed with" in output, output
    return ca, folder / "out"


# --- msiexec as a management tool runs it ------------------------------------------------

class Msiexec:
    """Runs msiexec silently with a verbose log through a batch file, which writes the whole
    exit code to a file (wine cuts its own exit code to 8 bits: 1603 arrives as 67). Nothing
    is read from a pipe: a process the installer starts in the session, such as Wine's
    desktop window, would keep it open."""

    def __init__(self, folder):
        self.folder = folder
        self.runs = 0

    def __call__(self, *args):
        self.runs += 1
        log, batch, exit_file = (self.folder / f"msiexec-{self.runs}.{ext}" for ext in ("log", "cmd", "exit"))
        batch.write_text("@echo off\r\nmsiexec " + " ".join(args) + f' /qn /l*v "{win_path(log)}"\r\n'
                         f'> "{win_path(exit_file)}" echo %errorlevel%\r\n')
        subprocess.run([WINE_RUN, "cmd", "/c", win_path(batch)], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        return int(exit_file.read_text().strip()), log

    def install(self, msi):
        return self("/i", f'"{win_path(msi)}"')

    def remove(self, code):
        return self("/x", code)


def products():
    """The installed-programs entries named "Ostrival Guardian": {product code: {value: data}}."""
    # The 64-bit view, which a 32-bit reg.exe (the one "wine reg" starts once Wine's 32-bit
    # loader is installed) only sees when asked.
    r = run("reg", "query", UNINSTALL_KEY, "/s", "/reg:64")
    entries, key = {}, None
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        if line.startswith("HKEY_"):
            key = line.rsplit("\\", 1)[-1]
            entries[key] = {}
        elif key and line.startswith("    "):
            parts = line[4:].split("    ", 2)
            if len(parts) >= 2:
                entries[key][parts[0]] = parts[2] if len(parts) == 3 else ""
    return {k: v for k, v in entries.items() if v.get("DisplayName") == "Ostrival Guardian"}


def remove_products(msiexec):
    for code in products():
        assert msiexec.remove(code)[0] == 0


@pytest.fixture
def msiexec(tmp_path, fresh_storage):
    """msiexec, with no product and no service before and after the test."""
    runner = Msiexec(tmp_path)
    suite_dir_existed = os.path.isdir(SUITE_DIR)
    remove_products(runner)
    remove_service()
    try:
        yield runner
    finally:
        remove_products(runner)
        remove_service()
        # Windows removes the suite's folder with its last product; Wine leaves it empty.
        if not suite_dir_existed and os.path.isdir(SUITE_DIR) and not os.listdir(SUITE_DIR):
            os.rmdir(SUITE_DIR)


def wait_until_serving(version):
    assert tool("wait", SERVICE, str(SERVICE_RUNNING), "30000").returncode == 0
    wait_for_log(r"INFO  guardian " + re.escape(version) + r" up; ")


def ask_installed_agent(command):
    """A client command of the installed program, once the service's pipe (created just after
    its start-up line) is there."""
    deadline = time.monotonic() + 30
    while True:
        r = run(INSTALLED_AGENT, command)
        if r.returncode != 3 or b"no_server" not in r.stderr or time.monotonic() > deadline:
            assert r.returncode == 0 and r.stdout.endswith(b"mac: valid\n"), (r.stdout, r.stderr)
            return r.stdout.decode()
        time.sleep(0.2)


def the_one_entry(code, version):
    entries = products()
    assert list(entries) == [code], entries
    entry = entries[code]
    assert (entry["DisplayVersion"], entry["Publisher"]) == (version, "Ostrival"), entry
    assert entry["InstallLocation"] == "C:\\Program Files\\Ostrival\\Guardian\\", entry
    return entry


# --- the MSI ------------------------------------------------------------------------------

def test_silent_install_serves_and_silent_removal_keeps_the_storage_directory(msiexec):
    msi = package(PACKAGES, VERSION)
    # The program folder's own access list (Wine's installer does not apply it, and Wine keeps
    # no folder's list).
    lock = subprocess.run(["msiinfo", "export", msi, "MsiLockPermissionsEx"], check=True, capture_output=True).stdout
    assert b"\nProgramFolder\tINSTALLDIR\tCreateFolder\tD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)\t" \
        in lock
    code, log = msiexec.install(msi)
    assert code == 0, log
    wait_until_serving(VERSION)
    the_one_entry(product_code(msi), VERSION)
    assert config_of()["path"] == '"' + INSTALLED_AGENT + '"'
    # A client from the program folder is trusted and derives the service's channel key.
    ask_installed_agent("--peer")
    assert sorted(os.listdir(PROGRAM_DIR)) == sorted(PROGRAMS + ["licenses", "x86"])
    assert sorted(os.listdir(os.path.join(PROGRAM_DIR, "x86"))) == sorted(n[4:] for n in PROGRAMS_X86)

    # Removal by product code, as management tools do it.
    code, log = msiexec.remove(product_code(msi))
    assert code == 0, log
    r = tool("status", SERVICE)
    assert r.returncode == 1 and b"(0x00000424)" in r.stderr  # the service does not exist
    assert not os.path.exists(PROGRAM_DIR)
    assert products() == {}
    assert os.path.isfile(CHANNEL_BIN)
    # The service stopped, then the removal was recorded.
    # (In the log where the storage folder passes LocalSystem's owner rule: never under Wine,
    # which shows it as the prefix user's; the Event Log has it.)
    last = log_text().splitlines()[-2:]
    assert last[-1].endswith(" INFO  guardian stopped") or (
        last[0].endswith(" INFO  guardian stopped") and " INFO  uninstall: Ostrival Guardian " in last[1]), last


def test_upgrade_replaces_in_place_and_keeps_the_channel_secret_and_a_downgrade_is_refused(msiexec, signed):
    assert msiexec.install(package(PACKAGES, VERSION))[0] == 0
    wait_until_serving(VERSION)
    with open(CHANNEL_BIN, "rb") as f:
        secret = f.read()

    # Another build of the same version (the signed one) replaces the installed one.
    rebuilt = package(signed[1], VERSION)
    assert msiexec.install(rebuilt)[0] == 0
    the_one_entry(product_code(rebuilt), VERSION)

    newer = package(UPGRADE_PACKAGES, UPGRADE_VERSION)
    code, log = msiexec.install(newer)
    assert code == 0, log
    the_one_entry(product_code(newer), UPGRADE_VERSION)
    r = run(INSTALLED_AGENT, "--version")
    assert r.stdout.decode().strip() == UPGRADE_VERSION
    wait_until_serving(UPGRADE_VERSION)
    # The service that answers is the new build, with the channel secret of the old one.
    assert f'"version": "{UPGRADE_VERSION}"' in ask_installed_agent("--ping")
    with open(CHANNEL_BIN, "rb") as f:
        assert f.read() == secret
    ask_installed_agent("--peer")

    code, log = msiexec.install(package(PACKAGES, VERSION))
    assert code == 1603, log
    the_one_entry(product_code(newer), UPGRADE_VERSION)
    assert f'"version": "{UPGRADE_VERSION}"' in ask_installed_agent("--ping")

    # The audit trail, with both versions. Windows Installer marks the older version's removal
    # by an upgrade (UPGRADINGPRODUCTCODE), which then keeps the source and the recorded version;
    # Wine's does not: there the removal is final, and the installation finds no version to name.
    # In the log only where the storage folder passes LocalSystem's owner rule (Wine shows it as
    # the prefix user's: in the Event Log alone there).
    audit = [line.split("  ", 1)[1] for line in log_text().splitlines() if re.search(r" INFO  (un)?install", line)]
    if audit:
        removal, installation = audit[-2:]
        upgrade = removal.startswith("uninstall for an upgrade: ")
        assert removal == f"uninstall{' for an upgrade' if upgrade else ''}: Ostrival Guardian {VERSION} removed " + (
            "the service and its crash dump settings, for an upgrade; its Event Log source stays" if upgrade else
            "the service, its Event Log source and its crash dump settings") + f" (it ran {INSTALLED_AGENT})"
        # Wine's installer runs --install as the prefix's user, who owns the files: it warns.
        assert re.fullmatch(re.escape(f"install: Ostrival Guardian {UPGRADE_VERSION} installed as the service "
                                      f"OstrivalGuardian, running {INSTALLED_AGENT} (" +
                                      (f"it replaces version {VERSION}" if upgrade else "a new installation")) +
                            r"(; WARNING: .*)?\)", installation), installation
    assert registry_values(SOURCE_KEY)["EventMessageFile"] == ("REG_EXPAND_SZ", INSTALLED_AGENT)


def test_an_upgrade_by_hand_names_both_versions_and_keeps_the_event_source(tmp_path, fresh_storage):
    """The zip's way: stop the service, put the new files in place, run the new --install."""
    folder = os.path.join(WINEPREFIX, "drive_c", "Program Files", "Ostrival Hand", "Guardian")
    agent = os.path.join(folder, "ostrival_guardian.exe")
    remove_service()
    try:
        for version, packages in ((VERSION, PACKAGES), (UPGRADE_VERSION, UPGRADE_PACKAGES)):
            if os.path.isdir(folder):
                assert tool("stop", SERVICE, "20000").returncode == 0
                shutil.rmtree(folder)
            shutil.copytree(os.path.join(packages, f"OstrivalGuardian-{version}-x64"), folder)
            r = run(agent, "--install", env=TRACE_EVENTS)
            assert r.returncode == 0
            assert registry_values(SOURCE_KEY)["EventMessageFile"] == ("REG_EXPAND_SZ", win_path(agent))
        # The Event Log's entry (Wine: not the log, whose folder is the prefix user's).
        entry = event_log_entries(r.stderr.decode("utf-8", "replace"))[0]
        assert entry[1] == 0x400003F1 and entry[2][:2] == [UPGRADE_VERSION, win_path(agent)], entry
        assert entry[2][2].startswith(f"it replaces version {VERSION}; WARNING: {win_path(agent)} can be changed "
                                      "by the installing account "), entry  # Wine: the prefix's user owns the files
    finally:
        remove_service()
        shutil.rmtree(os.path.dirname(folder), ignore_errors=True)


def msi_log_text(log):
    data = log.read_bytes()
    return data.decode("utf-16") if data.startswith((b"\xff\xfe", b"\xfe\xff")) else data.decode("latin-1")


def test_a_service_that_cannot_start_fails_the_installation_with_its_reason_in_the_log(msiexec):
    # A file where the storage folder belongs: the service stops at once. The installed
    # program's --install says why and fails, and the MSI fails with that in its log.
    os.makedirs(os.path.dirname(STORAGE), exist_ok=True)
    open(STORAGE, "wb").close()
    code, log = msiexec.install(package(PACKAGES, VERSION))
    assert code in (1603, 1627), log  # Windows reports a failed custom action as 1603; Wine's installer 1627
    reason = (r"OstrivalGuardian did not start: storage dir unusable: C:\ProgramData\Ostrival\guardian: a file "
              "stands in its place")
    assert f"Ostrival Guardian: {reason}" in msi_log_text(log), log
    assert products() == {}
    assert not os.path.exists(PROGRAM_DIR)


def test_a_failed_service_registration_fails_the_installation_and_leaves_nothing_behind(msiexec):
    # A service of that name marked for deletion makes the installed program's "--install" fail.
    assert tool("create", SERVICE, r"C:\nowhere.exe").returncode == 0
    holder = subprocess.Popen([WINE_RUN, exe("service_tool.exe"), "mark-deleted", SERVICE],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b"marked\n"
        code, log = msiexec.install(package(PACKAGES, VERSION))
        # Windows reports a failed custom action as 1603; Wine's installer says 1627.
        assert code in (1603, 1627), log
        assert products() == {}
        assert not os.path.exists(PROGRAM_DIR)
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)


# --- signing and the zip ------------------------------------------------------------------

def test_signed_programs_and_msi_verify_with_the_ca_and_one_changed_byte_fails(signed, tmp_path):
    ca, out = signed
    msi = package(out, VERSION)
    assert verify(msi, ca) == 0
    # The programs inside the MSI and inside the zip are the signed ones.
    subprocess.run(["msiextract", "-C", str(tmp_path / "msi"), msi], check=True, capture_output=True)
    with zipfile.ZipFile(package(out, VERSION, "zip")) as z:
        z.extractall(tmp_path / "zip")
    for folder in (tmp_path / "msi" / "Ostrival" / "Guardian", tmp_path / "zip" / f"OstrivalGuardian-{VERSION}-x64"):
        for name in PROGRAMS + PROGRAMS_X86:
            assert verify(folder / name, ca) == 0, folder / name
    install_text = (tmp_path / "zip" / f"OstrivalGuardian-{VERSION}-x64" / "INSTALL.txt").read_text()
    assert f"Version {VERSION}." in install_text and "The programs are signed" in install_text

    exe = tmp_path / "zip" / f"OstrivalGuardian-{VERSION}-x64" / "ostrival_guardian.exe"
    data = bytearray(exe.read_bytes())
    data[len(data) // 3] ^= 0x01
    exe.write_bytes(bytes(data))
    assert verify(exe, ca) != 0


def test_an_unsigned_build_says_so_and_the_zip_carries_the_install_text_and_licences(tmp_path):
    lines = build_packages(tmp_path).splitlines()
    assert lines[-1] == "-- unsigned: set GUARDIAN_SIGN_CERT and GUARDIAN_SIGN_KEY to sign", lines
    assert not any("signed with" in line for line in lines), lines
    folder = f"OstrivalGuardian-{VERSION}-x64/"
    with zipfile.ZipFile(package(tmp_path, VERSION, "zip")) as z:
        names = {n[len(folder):] for n in z.namelist() if n.startswith(folder) and not n.endswith("/")}
        exe = z.read(folder + "ostrival_guardian.exe")
        assert b"The programs in this build are not signed." in z.read(folder + "INSTALL.txt")
    assert names == set(PROGRAMS + PROGRAMS_X86) | {"INSTALL.txt"} | {f"licenses/{n}.txt" for n in (
        "THIRD-PARTY-NOTICES", "LGPL-2.1", "libgcrypt", "libgpg-error", "nlohmann-json", "mingw-w64")}
    (tmp_path / "unsigned.exe").write_bytes(exe)
    assert verify(tmp_path / "unsigned.exe") != 0
    # The File table carries the programs' versions, read from their version resources.
    files = subprocess.run(["msiinfo", "export", package(tmp_path, VERSION), "File"], check=True,
                           capture_output=True).stdout.decode()
    versions = dict(re.findall(r"^\w+\t\w+\t([^\t]+)\t\d+\t([^\t]*)\t", files, re.M))
    assert versions["ostrival_guardian.exe"] == VERSION + ".0", files
    assert all(re.fullmatch(r"\d+\.\d+\.\d+\.\d+", versions[name]) for name in PROGRAMS), files
    # Each folder's file carries its own version (the 32-bit DLLs are other files of the same names).
    keyed = dict(re.findall(r"^(\w+)\t\w+\t[^\t]+\t\d+\t([^\t]*)\t", files, re.M))
    assert keyed["ClientDllX86"] == keyed["ClientDll"] == VERSION + ".0", files

    # The SDK: the header and example as in the repository, for each architecture the import
    # library with its .def, the DLL the packages install with its debugging information; the
    # version header and the CMake package file.
    sdk = f"OstrivalGuardian-SDK-{VERSION}/"
    with zipfile.ZipFile(os.path.join(tmp_path, f"OstrivalGuardian-SDK-{VERSION}.zip")) as z:
        files = {n[len(sdk):]: z.read(n) for n in z.namelist() if n.startswith(sdk) and not n.endswith("/")}
    per_arch = {f"{kind}/{arch}ostrival_guardian_client.{ext}" for arch in ("", "x86/")
                for kind, ext in (("lib", "lib"), ("lib", "def"), ("bin", "dll"), ("bin", "dll.debug"))}
    assert set(files) == per_arch | {"include/guardian_client.h", "include/guardian_client_version.h",
                                     "example/example.c",
                                     "lib/cmake/OstrivalGuardianClient/OstrivalGuardianClientConfig.cmake",
                                     "lib/cmake/OstrivalGuardianClient/OstrivalGuardianClientConfigVersion.cmake"} | {
                              n for n in names if n.startswith("licenses/")}
    for source in ("include/guardian_client.h", "example/example.c"):
        assert files[source] == open(os.path.join(SDK_SOURCE, source), "rb").read()
    with zipfile.ZipFile(package(tmp_path, VERSION, "zip")) as z:
        for arch in ("", "x86/"):
            assert files[f"bin/{arch}ostrival_guardian_client.dll"] == z.read(f"{folder}{arch}ostrival_guardian_client.dll")
            assert files[f"lib/{arch}ostrival_guardian_client.lib"].startswith(b"!<arch>\n")
            assert b"guardian_client_last_failure" in files[f"lib/{arch}ostrival_guardian_client.def"]
            # The DLL is stripped, and names its debugging information, which holds the symbols.
            assert b"ostrival_guardian_client.dll.debug" in files[f"bin/{arch}ostrival_guardian_client.dll"]
            assert b"guardian_client_open" in files[f"bin/{arch}ostrival_guardian_client.dll.debug"]
    assert f'"{VERSION}"'.encode() in files["include/guardian_client_version.h"]
