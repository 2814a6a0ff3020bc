"""What the installed service says of a channel.bin from another device, which shows only
after start-up's two minutes' wait for the identity, where an administrator reads it: --install,
--diagnose, the log and the Event Log (Wine's trace of the session's services). A module of its
own, in a lane of its own (tests/CMakeLists.txt): it reboots the session, and takes a while."""
import os
import re

import pytest

from conftest import run, win_path
from test_service import (AGENT, SERVICE, SERVICE_STOPPED, STORAGE, STORAGE_WIN, diagnose,  # noqa: F401
                          fresh_storage, log_text, no_service, scm_ready, shown_as, statuses, tool, traced)
from test_service_life import make_secret, session_events, traced_session  # noqa: F401

CHANNEL = os.path.join(STORAGE, "channel.bin")
OTHER_FINGERPRINT = "0123456789abcdef" * 4
SEALED = ("was sealed under another device fingerprint, or damaged (the hardware changed, the file came from another "
          "machine, or it was cut short or overwritten)")
RENEWAL = (f'sc stop OstrivalGuardian, del "{STORAGE_WIN}\\channel.bin", sc start OstrivalGuardian, then restart the '
           "companion and the suite's applications, which read the new key")


@pytest.mark.slow
def test_a_channel_bin_from_another_device_is_said_to_be_one_with_the_remedy(no_service, traced_session):
    make_secret(STORAGE, OTHER_FINGERPRINT)  # as after a hardware change, or copied from another machine
    sealed = open(CHANNEL, "rb").read()

    # Start-up waits up to two minutes for an identity the file opens under. --install waits
    # 30 s of it, finds this machine's identity whole and the file not opening under it: the
    # service would stop, so the installation fails now, with the cause and the remedy, and
    # records that (an ERROR line, entry 1013).
    r, events = traced("--install")
    cause = (f"no channel secret: {STORAGE_WIN}\\channel.bin {SEALED} (this machine's identity is whole); to "
             "renew the secret, as an administrator: " + RENEWAL)
    assert r.returncode == 1 and b"OstrivalGuardian installed" not in r.stdout, r.stdout
    assert f"\nOstrivalGuardian will not start: {cause}\n" in "\n" + r.stderr.decode(), r.stderr
    program = win_path(AGENT)
    failed = f"OstrivalGuardian will not start: {cause}"
    # (In the log too where the storage folder passes LocalSystem's rule: never under Wine.)
    assert " install: " not in log_text()
    [(kind, _, inserts)] = [e for e in events if e[1] == 0xC00003F5]
    assert kind == 1 and inserts[:2] == ["1.2.4", program] and shown_as(inserts[2], failed), events
    # The identity is whole: its wait is not said to be an unsettled identity's.
    assert re.search(r"WARN  channel\.bin does not open under fingerprint [0-9a-f]{12}\u2026 \(parts \d\), which "
                     r"WMI gave whole; in case a part of the identity was missing, collecting it again for up to "
                     r"120 s\r\n", log_text()) and "identity not settled" not in log_text(), log_text()

    # Meanwhile --diagnose says what the file is and what to do, at once.
    _, checks, _ = diagnose()
    assert checks["key"] == ("FAIL", STORAGE_WIN + r"\channel.bin " + SEALED,
                             "renew the secret as an administrator: " + RENEWAL, "sealed_elsewhere")
    assert checks["agent"][1] == "not checked: no channel key"

    # Then start-up fails with the cause and the remedy, in the log and the Event Log; WMI,
    # which gave the identity whole, is not blamed.
    r = tool("wait", SERVICE, str(SERVICE_STOPPED), "150000")
    assert r.returncode == 0 and statuses(r.stdout)[-1][1:3] == (SERVICE_STOPPED, 1066), r.stdout
    reason = "no channel secret: channel.bin " + SEALED + "; to renew the secret, as an administrator: " + RENEWAL
    lines = log_text().splitlines()
    assert re.search(r"WARN  channel\.bin still does not open after 12\d\.\d s under fingerprint [0-9a-f]{12}\u2026 "
                     r"\(parts \d\), which WMI gave whole; going on with it\r\n", log_text()), lines[-8:]
    assert lines[-2].endswith(" ERROR channel.bin unreadable") and lines[-1].endswith(" ERROR " + reason), lines[-2:]
    events = session_events(traced_session)
    [(kind, _, [text])] = [e for e in events if e[1] == 0xC00003EA]
    assert kind == 1 and shown_as(text, reason) and 0x800003EC not in [e[1] for e in events], events
    assert open(CHANNEL, "rb").read() == sealed  # the program never removes it itself
