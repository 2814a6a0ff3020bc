"""Shared helpers for the black-box tests: they run the built Windows programs under Wine."""
import os
import subprocess
import sys

import pytest

BIN = os.environ.get("GUARDIAN_BIN", "")
WINE_RUN = os.environ.get("GUARDIAN_WINE_RUN", "")
WINEPREFIX = os.environ.get("WINEPREFIX", "")


def exe(name):
    """Host path of a built program."""
    return os.path.join(BIN, name)


def win_path(host_path):
    """The path as a Windows program under Wine sees it (drive Z: is the host's root)."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


def run(program, *args, env=None, timeout=120, stdin=subprocess.DEVNULL):
    """Runs a program (host path) under Wine and returns the CompletedProcess (bytes)."""
    full_env = dict(os.environ)
    full_env.pop("OV_STORAGE_DIR", None)
    full_env.pop("OV_WATCHDOG_INTERVAL_SEC", None)
    if env:
        full_env.update(env)
    return subprocess.run([WINE_RUN, program, *args], env=full_env, stdin=stdin,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)


def start(program, *args, env=None):
    """Starts a program under Wine in the background; stdout and stderr are pipes."""
    full_env = dict(os.environ)
    full_env.pop("OV_STORAGE_DIR", None)
    full_env.pop("OV_WATCHDOG_INTERVAL_SEC", None)
    if env:
        full_env.update(env)
    return subprocess.Popen([WINE_RUN, program, *args], env=full_env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


@pytest.fixture(scope="session", autouse=True)
def _require_build():
    if not BIN or not WINE_RUN:
        pytest.skip("run through CTest: GUARDIAN_BIN and GUARDIAN_WINE_RUN are not set")
    sys.stdout.flush()
