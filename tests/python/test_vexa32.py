"""The vexa32 module against the embedded simulation server."""

import datetime
import gc
import os
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

import vexa32

SIM = "Vexa.Simulation.1"
UTC = datetime.timezone.utc
ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
EXAMPLES = os.path.join(ROOT, "examples")


def connected(**slots):
    c = vexa32.Control()
    c.svrname = SIM
    c.UpdateRate = "50"
    for name, item in slots.items():
        setattr(c, name, item)
    assert c.cnnec()
    return c


def test_members_by_name_without_regard_to_case():
    c = vexa32.Control()
    c.SVRNAME = "Vexa.Simulation.1"
    assert c.svrname == "Vexa.Simulation.1"
    c.itm59 = "SimulatePLC.Sine"
    assert c.GetItmName(59) == c.ITM59 == "SimulatePLC.Sine"
    assert c.IsConnect is False and c.GetVl(60) is vexa32.Null
    names = dir(c)
    for member in ("cnnec", "discnn", "opcWrt", "GetVl", "svrname", "itm0", "itm59", "vl59", "on", "changes"):
        assert member in names
    assert not hasattr(c, "nosuchmember")
    with pytest.raises(vexa32.MemberNotFoundError) as e:
        c.nosuchmember = 1
    assert e.value.number == 438


@pytest.mark.parametrize(
    "member, value, number",
    [
        ("UpdateRate", 40000, 6),  # overflow: 40000 comes in as a 32-bit integer
        ("UpdateRate", "fast", 13),  # type mismatch
        ("svrname", vexa32.Null, 94),  # invalid use of Null
        ("GetVl", 70000, 6),  # an argument that does not fit its 16-bit parameter
        ("GetVl", "x", 13),
    ],
)
def test_a_failing_member_raises_its_error_number(member, value, number):
    c = vexa32.Control()
    with pytest.raises(vexa32.AutomationError) as e:
        if member == "GetVl":
            c.GetVl(value)
        else:
            setattr(c, member, value)
    assert e.value.number == number
    assert e.value.hresult != 0 and e.value.description
    assert "error %d" % number in str(e.value)


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, None),
        (vexa32.Null, vexa32.Null),
        (True, True),
        (7, 7),
        (70000, 70000),
        (2**40, 2**40),
        (2**63 + 5, 2**63 + 5),  # an unsigned 64-bit value, written back as read
        (2**64 - 1, 2**64 - 1),
        (2**64, float(2**64)),
        (2**70, float(2**70)),
        (-1.5, -1.5),
        ("text ü", "text ü"),
        (datetime.datetime(2026, 12, 8, 10, 30, 15, 250000, tzinfo=UTC),) * 2,
        (datetime.datetime(2026, 12, 8, 10, 30), datetime.datetime(2026, 12, 8, 10, 30, tzinfo=UTC)),
        (datetime.datetime(1899, 12, 29, 6, 0, tzinfo=UTC),) * 2,
        ([1, "a", [2.5]], [1, "a", [2.5]]),
    ],
)
def test_values_go_through_a_server_and_back(given, expected):
    c = connected(itm0="SimulatePLC.Text")
    vexa32.Simulation(SIM).set_value("SimulatePLC.Text", given)
    assert vexa32.wait_for(lambda: c.GetVl(0) == expected and type(c.GetVl(0)) is type(expected), 2)
    c.discnn()


def test_a_value_without_automation_form_is_a_type_error():
    c = vexa32.Control()
    with pytest.raises(TypeError):
        c.svrname = object()


def test_events_and_the_loop():
    c = connected(itm0="SimulatePLC.Sine", itm1="SimulatePLC.Setpoint")
    events = []
    c.on("datChange", lambda: events.append(c.GetVl(0)))
    vexa32.pump(0.5)
    assert len(events) >= 3 and len(set(events)) >= 3  # the sine changes
    assert c.GetQuality(0) == "Good" and c.GetTimeStamp(0).tzinfo is UTC

    assert c.opcWrt(1, 42.5)
    seen = None
    for changed in c.changes(timeout=2):
        seen = [s for s in changed if s.index == 1]
        if seen:
            break
    assert seen and seen[0].value == 42.5 and seen[0].item == "SimulatePLC.Setpoint"

    # A loop that must end: after a number of events, or a time in all while values keep coming.
    assert len(list(c.changes(count=3))) == 3
    start = time.monotonic()
    assert list(c.changes(timeout=5, seconds=0.4))
    assert time.monotonic() - start < 2

    c.discnn()
    count = len(events)
    vexa32.pump(0.3)
    assert len(events) == count and list(c.changes(timeout=0.2)) == []


def test_a_failing_handler_stops_the_loop_with_its_exception():
    c = connected(itm0="SimulatePLC.Sine")

    def handler():
        raise ValueError("from the handler")

    c.on("datChange", handler)
    start = time.monotonic()
    with pytest.raises(ValueError, match="from the handler"):
        vexa32.pump(5)
    assert time.monotonic() - start < 1
    c.off("datChange", handler)
    vexa32.pump(0.2)
    c.discnn()


def test_ctrl_c_stops_the_loop():
    c = connected(itm0="SimulatePLC.Sine")
    threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
    start = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        vexa32.pump(10)
    assert time.monotonic() - start < 2
    c.discnn()


def test_a_control_collected_while_connected_leaves_nothing_on_the_server():
    sim = vexa32.Simulation(SIM)
    before = (sim.connections, sim.groups, sim.items)
    c = connected(itm0="SimulatePLC.Sine", itm1="SimulatePLC.Ramp")
    assert sim.connections == before[0] + 1 and sim.items == before[2] + 2
    del c
    gc.collect()
    assert (sim.connections, sim.groups, sim.items) == before


def test_servers_and_a_browse_walk():
    assert SIM in vexa32.servers()
    with pytest.raises(vexa32.AutomationError) as e:
        vexa32.servers("no-such-node.invalid")
    assert e.value.number == 462

    ids = list(vexa32.browse(SIM))
    assert "SimulatePLC.Sine" in ids and "test1.cpu.SignalTags.Signal_0001B" in ids
    assert len(ids) == len(set(ids)) > 30
    assert "SimulatePLC.Sine" in list(vexa32.browse("Vexa.Simulation.Flat.1"))
    with pytest.raises(vexa32.AutomationError):
        vexa32.browse("Vexa.Simulation.NoBrowse.1")
    with pytest.raises(vexa32.AutomationError):
        vexa32.browse("No.Such.Server")
    assert vexa32.Simulation(SIM).connections == 0


def test_the_example_form():
    form = vexa32.load_form(os.path.join(EXAMPLES, "Form1.json"))
    assert list(form) == ["vexa1"]
    c = form["vexa1"]
    assert c.svrname == "KEPware.KEPServerEx.V4" and c.UpdateRate == 100
    assert c.cnnec()
    assert vexa32.wait_for(lambda: c.data_changes > 0, 2)
    c.discnn()
    with pytest.raises(vexa32.AutomationError):
        vexa32.load_form(os.path.join(EXAMPLES, "no-such-form.json"))


def python_examples():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    with open(os.path.join(EXAMPLES, "monitor.py"), encoding="utf-8") as f:
        return blocks + [f.read()]


@pytest.mark.parametrize("source", python_examples())
def test_the_examples_run_and_end_by_themselves(source):
    run = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert "SimulatePLC.Sine" in run.stdout


def secure_server_url():
    state = os.environ.get("VEXA32_UA_STATE")
    try:
        with open(state + "_secure/url", encoding="utf-8") as f:
            return f.read().strip()
    except (TypeError, OSError):
        pytest.skip("the secure OPC UA test server is not running (run the tests through CTest)")


def test_a_secure_server_is_trusted_and_logged_into(tmp_path, monkeypatch):
    url = secure_server_url()
    monkeypatch.setenv("VEXA32_PKI", str(tmp_path / "pki"))
    monkeypatch.setenv("VEXA32_UAPASSFILE", str(tmp_path / "uapass"))
    (tmp_path / "uapass").write_text("*:*:operator:secret-42\n")
    os.chmod(tmp_path / "uapass", 0o600)
    assert vexa32.pki_folder() == str(tmp_path / "pki")
    c = vexa32.Control()
    c.svrname = url.replace("opc.tcp://", "opc.tcp://operator@")
    c.itm0 = "ns=1;s=Simulation.Counter"
    c.UpdateRate = "100"
    c.cnnec()
    assert not c.IsConnect  # the server's certificate is not trusted yet
    info = vexa32.trust_server(url)
    assert re.fullmatch("[0-9A-F]{40}", info["thumbprint"]) and os.path.exists(info["path"])
    assert info["not_before"] < datetime.datetime.now(UTC) < info["not_after"]
    c.cnnec()
    assert c.IsConnect
    assert len(list(c.changes(count=2, seconds=5))) == 2
    c.discnn()


def test_the_host_answers_for_an_untrusted_server_and_a_login(tmp_path, monkeypatch):
    url = secure_server_url()
    monkeypatch.setenv("VEXA32_PKI", str(tmp_path / "pki"))
    monkeypatch.setenv("VEXA32_UAPASSFILE", str(tmp_path / "uapass"))
    servers, questions = [], []
    logins = iter([("operator", "wrong"), ("operator", "secret-42", True)])
    vexa32.on_untrusted_certificate(lambda info: servers.append(info) or "trust")
    vexa32.on_login(lambda info: questions.append(info) or next(logins))
    try:
        c = vexa32.Control()
        c.svrname = url.replace("opc.tcp://", "opc.tcp://operator@")
        c.cnnec()
        assert c.IsConnect
        c.discnn()
    finally:
        vexa32.on_untrusted_certificate(None)
        vexa32.on_login(None)
    assert len(servers) == 1 and servers[0]["can_trust"] and re.fullmatch("[0-9A-F]{40}", servers[0]["thumbprint"])
    assert [q["attempt"] for q in questions] == [1, 2] and "BadUserAccessDenied" in questions[1]["refusal"]
    assert (tmp_path / "uapass").stat().st_mode & 0o777 == 0o600


def dcom_node():
    state = os.environ.get("VEXA32_DCOM_STATE")
    try:
        with open(os.path.join(state, "ports"), encoding="utf-8") as f:
            ports = dict(line.strip().split("=", 1) for line in f if "=" in line)
        return "127.0.0.1:" + ports["activation"]
    except (TypeError, OSError, KeyError):
        pytest.skip("the DCOM test server is not running (run the tests through CTest)")


def test_a_server_on_a_node_over_dcom_with_the_login_from_the_host(tmp_path, monkeypatch):
    node = dcom_node()
    monkeypatch.setenv("VEXA32_UAPASSFILE", str(tmp_path / "uapass"))
    questions = []
    vexa32.on_login(lambda info: questions.append(info) or ("VEXATEST\\tester", "Vexa-Test-1"))
    try:
        c = vexa32.Control()
        c.svrname = "Vexa.DcomTest.1"
        c.nodname = node
        c.itm0 = "SimulatePLC.Counter"
        c.itm1 = "SimulatePLC.Setpoint"
        c.UpdateRate = "100"
        c.cnnec()
        assert c.IsConnect
        assert len(list(c.changes(count=2, seconds=5))) == 2
        assert c.GetQuality(0) == "Good"
        assert c.data_mode == "callbacks"  # the test server calls back
        assert c.opcWrt(1, 12.5)
        assert vexa32.wait_for(lambda: c.GetVl(1) == 12.5, timeout=5)
        c.discnn()
        assert c.data_mode == ""
    finally:
        vexa32.on_login(None)
    assert [(q["windows_user"], q["port"], q["user"]) for q in questions] == [(True, node.split(":")[1], "")]
