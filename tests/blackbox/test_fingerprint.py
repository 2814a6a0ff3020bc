"""--fingerprint: the device identity printed as JSON, with and without WMI."""
import json
import os
import re
import subprocess

import pytest

HEX64 = re.compile(r"[0-9a-f]{64}")
HEX16 = re.compile(r"[0-9a-f]{16}")
HW_KEYS = ["board", "cpu", "disks", "gpu", "hostname", "os", "ram_mb"]


def fingerprint(extra_env=None):
    env = dict(os.environ)
    # The command needs no storage directory: point it at one that cannot exist.
    env["OV_STORAGE_DIR"] = "Z:\\nonexistent\\guardian-storage"
    env.update(extra_env or {})
    guardian = os.path.join(os.environ["GUARDIAN_BIN"], "ostrival_guardian.exe")
    return subprocess.run([os.environ["GUARDIAN_WINE_RUN"], guardian, "--fingerprint"], env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)


def no_nulls(value, where="hw"):
    assert value is not None, where
    if isinstance(value, dict):
        for key, child in value.items():
            no_nulls(child, f"{where}.{key}")
    elif isinstance(value, list):
        for i, child in enumerate(value):
            no_nulls(child, f"{where}[{i}]")


def check_document(out):
    text = out.decode("utf-8")
    assert text.endswith("}\n") and not text.endswith("\n\n")
    assert "\r" not in text
    doc = json.loads(text)
    assert list(doc) == ["fp", "fp_parts", "hw"]
    # The library's indented form, byte for byte.
    assert text == json.dumps(doc, indent=2, ensure_ascii=False) + "\n"
    assert HEX64.fullmatch(doc["fp"])
    for label, part in doc["fp_parts"].items():
        assert label in ("board", "uuid", "cpu", "disk", "mac", "mguid")
        assert HEX16.fullmatch(part), label
    assert list(doc["hw"]) == HW_KEYS
    no_nulls(doc["hw"])
    return doc


@pytest.fixture(scope="module")
def first_run():
    return fingerprint()


def test_prints_identity_and_succeeds(first_run):
    assert first_run.returncode == 0, first_run.stderr
    doc = check_document(first_run.stdout)
    assert "mguid" in doc["fp_parts"]
    hw = doc["hw"]
    assert set(hw["cpu"]) == {"cores", "mhz", "name", "threads"}
    assert set(hw["os"]) == {"arch", "build", "name", "version"}
    assert hw["os"]["arch"] in ("64-bit", "32-bit")
    assert hw["ram_mb"] > 0
    for disk in hw["disks"]:
        assert set(disk) == {"model", "serial_masked", "size_gb"}
        assert disk["serial_masked"] == "" or disk["serial_masked"].startswith("*")
    assert first_run.stderr == b""


def test_two_runs_agree(first_run):
    second = fingerprint()
    assert second.returncode == 0
    assert second.stdout == first_run.stdout


def test_without_wmi_machine_guid_alone(first_run):
    # With the WMI proxy library disabled the locator cannot be created.
    run = fingerprint({"WINEDLLOVERRIDES": "mscoree,mshtml=;wbemprox="})
    assert run.returncode == 0
    doc = check_document(run.stdout)
    with_wmi = json.loads(first_run.stdout)
    assert list(doc["fp_parts"]) == ["mguid"]
    assert doc["fp_parts"]["mguid"] == with_wmi["fp_parts"]["mguid"]
    assert doc["fp"] != with_wmi["fp"]
    hw = doc["hw"]
    assert hw["board"] == {"product": "", "vendor": ""}
    assert hw["cpu"]["name"] == "" and hw["cpu"]["mhz"] == 0 and hw["cpu"]["cores"] > 0
    assert hw["disks"] == [] and hw["gpu"] == []
    assert hw["os"]["name"] == "Windows" and hw["os"]["version"] == "" and hw["os"]["build"] == ""
    assert hw["ram_mb"] > 0
    assert hw["hostname"] == with_wmi["hw"]["hostname"]
    # The command configures no log, so its log lines go nowhere.
    assert run.stderr == b""


def test_without_wmi_one_error_line_is_logged():
    tool = os.path.join(os.environ["GUARDIAN_BIN"], "identity_tool.exe")
    env = dict(os.environ, WINEDLLOVERRIDES="mscoree,mshtml=;wbemprox=")
    run = subprocess.run([os.environ["GUARDIAN_WINE_RUN"], tool], env=env, stdin=subprocess.DEVNULL,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    assert run.returncode == 0, run.stderr
    assert len(run.stdout.strip()) == 64
    errors = [line for line in run.stderr.decode().splitlines() if " ERROR " in line]
    assert len(errors) == 1 and "WMI locator failed: " in errors[0], run.stderr
