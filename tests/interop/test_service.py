"""qor end to end: real processes, sockets and files; impacket and qorctl as its clients."""

import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest
from impacket.dcerpc.v5.rpcrt import DCERPCException

from qor_instance import (GROUP, LP, QOR, SPOOLER, Instance, Notify, Site, createobj, loopback,
                          no_qor_left, qorctl)  # noqa: F401

B1, B2 = "ncacn_ip_tcp:10.0.0.1[5000]", "ncacn_ip_tcp:10.0.0.2"
LP_P = {"command": "get", "source": "qor", "status": 0, "meaning": "success", "class": "lp",
        "server": {"class": "spooler", "name": "S", "domain": "WG"}, "bindings": [B1, B2],
        "support_auth": 0x7fffffff}

# qorctl lines: (command line, exit code, stdout, stderr). Text stdout is compared whole, or up
# to "..." at its end; a dict is the JSON object stdout must hold. Without -s qorctl finds qor
# in the settings file; {absent} is an address where no qor runs.
QORCTL_SESSION = [
    ("-s qorhost getdomain", 0, "WG\n", ""),
    ("create spooler S --host h1 --binding %s --binding %s --auth 0x7fffffff" % (B1, B2), 0, "", ""),
    ("create lp P --assoc spooler:S", 0, "", ""),
    ("create group G --member lp:P --member='queue:Q\"\\1@OTHER'", 0, "", ""),
    ("get any-prn P --json", 0, LP_P, ""),
    ("--json list group G", 0, {"command": "list", "source": "qor", "status": 0,
                                "meaning": "success", "objects": [
                                    {"class": "lp", "name": "P", "domain": "WG"},
                                    {"class": "queue", "name": "Q\"\\1", "domain": "OTHER"}]}, ""),
    ("create lp P --assoc spooler:spool1", 1, "", "qorctl: create lp P: status 16: the name "
     "exists and may not be overwritten\n"),
    ("create lp P --assoc spooler:spool1 --force", 0, "", ""),
    ("create group E --member 'lp:\x1b[2J'", 0, "", ""),  # held as sent, shown escaped
    ("list group E", 0, "lp:\\x1B[2J@WG\n", ""),
    ("get --help", 0, "usage: qorctl [-s HOST | -b STRING-BINDING] [--json] COMMAND ...\n"
     "       qorctl get CLASS NAME [--domain D]\n...", ""),
    # The service's refusals: exit code 1, the status and its meaning.
    ("get lp NOPE", 1, "", "qorctl: get lp NOPE: status 15: no such entry\n"),
    ("get lp 'N\rP' -d wg", 1, "", "qorctl: get lp N\\x0DP --domain wg: status 15: no such entry\n"),
    ("--json delete pp P", 1, {"command": "delete", "source": "qor", "status": 15,
                               "meaning": "no such entry"}, ""),
    # The service is not there: exit code 3 and the RPC status.
    ("-b ncacn_ip_tcp:{absent}[9] --json get lp P", 3, {
        "command": "get", "source": "rpc", "status": 1722, "meaning": "server unavailable"}, ""),
    # Bad command lines: exit code 2, one line on stderr, nothing sent.
    ("", 2, "", "qorctl: no command (qorctl --help)\n"),
    ("create spooler", 2, "", "qorctl: create: wrong number of arguments; usage: qorctl create "
     "CLASS NAME [--domain D] [--force] [--host H --binding B... [--auth N]] (qorctl --help)\n"),
    ("-s '' getdomain", 2, "", "qorctl: an empty -s or -b (qorctl --help)\n"),
    ("get lp P --domain", 2, "", "qorctl: --domain needs a value (qorctl --help)\n"),
    ("-b nonsense getdomain", 2, "",
     "qorctl: -b nonsense: RPC status 1700: invalid string binding (qorctl --help)\n"),
    ("-b foo:10.9.9.9 getdomain", 2, "",  # refused only by the first call
     "qorctl: -b foo:10.9.9.9: RPC status 1704: invalid protocol sequence (qorctl --help)\n"),
    ("list queue q1", 2, "", "qorctl: list queue: NAME is for group and backup (qorctl --help)\n"),
    ("create queue q2 --member lp:P", 2, "",
     "qorctl: create queue: --member is for group and backup (qorctl --help)\n"),
    ("create lp q3 --host h1", 2, "",
     "qorctl: create lp: --host, --binding and --auth are for spooler, superv and ntfy (qorctl --help)\n"),
]


def start_service(inst, *args, starting=lambda: None):
    """Starts `inst` as a service (`starting` runs once it starts): notify socket, start's end."""
    notify = Notify(os.path.join(inst.dir, "notify"))
    inst.start(*args, notify=notify)
    assert "EXTEND_TIMEOUT_USEC=90000000" in notify.until("STATUS=Starting (check point 1)")
    starting()
    return notify, notify.until("READY=1", "STATUS=Stopped")


def test_registrations_by_impacket_and_qorctl_survive_a_stop_and_a_restart(tmp_path):
    qor = Instance(Site(tmp_path), "m1", RpcProtocolSequence="multi_sz:")  # all
    qor.start("-c", unread_console=True)
    assert qor.wait_started()
    dce = qor.connect()
    assert createobj(dce, SPOOLER, "spool1", bindings=[B1, B2], host="h1") == 0
    assert createobj(dce, LP, "lp1", assoc=(SPOOLER, "spool1", None)) == 0
    assert createobj(dce, GROUP, "g1", members=[(LP, "lp1", None), (SPOOLER, "spool1", "wg")]) == 0
    assert qorctl(qor, "create queue q1 --assoc lp:lp1")[0] == 0
    absent = loopback()
    qor.site.write("hosts", "%s qorhost\n" % qor.addr)  # -s by name
    for line, code, out, err in QORCTL_SESSION:
        rc, got, stderr = qorctl(qor, line.format(absent=absent))
        if isinstance(out, dict):
            got = json.loads(got)
        elif out.endswith("..."):
            got = got[:len(out) - 3] + "..."
        assert (rc, got, stderr) == (code, out, err), line
    mapper = socket.create_connection((qor.addr, qor.site.port))  # closed by qor: its port waits
    assert qor.stop(signal.SIGTERM) == 0 and mapper.close() is None
    assert qor.ids() == ["0x40000001", "0x40000002"]
    for cls, name in (("spooler", "spool1"), ("lp", "lp1"), ("group", "g1"), ("queue", "q1")):
        with open(os.path.join(qor.dir, "data", cls + ".dat")) as f:
            assert name + "\n" in f.read()

    # The entry still names the stopped run; that binding does not answer.
    assert qor.start("-c", unread_console=True).wait_started()
    assert qorctl(qor, "get lp lp1")[:2] == (
        0, "class: lp\nserver: spooler:spool1@WG\nsupport_auth: 0\nbinding: %s\nbinding: %s\n"
        % (B1, B2))
    assert qorctl(qor, "list group g1")[:2] == (0, "lp:lp1@WG\nspooler:spool1@wg\n")
    assert qorctl(qor, "host queue q1")[:2] == (0, "h1\n")
    assert qorctl(qor, "get lp P")[1].startswith("class: lp\nserver: spooler:spool1@WG\n")
    assert qor.stop(signal.SIGINT) == 0


def test_every_answered_create_survives_a_kill(tmp_path):
    qor = Instance(Site(tmp_path), "m1").start("-c")
    assert qor.wait_started()
    answered = []
    dce = qor.connect()

    def creates():
        try:
            for i in range(1000000):
                assert createobj(dce, SPOOLER, "s%d" % i, bindings=[B2], host="h") == 0
                answered.append("s%d" % i)
        except Exception:
            pass  # the connection dies with the process

    t = threading.Thread(target=creates)
    t.start()
    while len(answered) < 200:
        assert t.is_alive(), "a create failed before the kill"
        time.sleep(0.01)
    qor.stop(signal.SIGKILL)
    # impacket reads a connection closed by its peer forever: close our end.
    dce.get_rpc_transport().get_socket().close()
    t.join()
    assert qor.start("-c").wait_started()
    rc, out, _ = qorctl(qor, "--json list spooler")
    assert rc == 0 and set(answered) <= {o["name"] for o in json.loads(out)["objects"]}
    qor.stop()


def test_bad_input_gets_its_status_and_the_service_stays_up(tmp_path):
    qor = Instance(Site(tmp_path), "m1").start("-c")
    assert qor.wait_started()
    dce = qor.connect()
    assert createobj(dce, 11, "s1", bindings=[B1], host="h") == 5  # a class outside the table
    assert createobj(dce, SPOOLER, "s\r1", bindings=[B1], host="h") == 11
    assert createobj(dce, SPOOLER, "s2", bindings=[B1, None], host="h") == 11
    assert createobj(dce, LP, "p1", assoc=(SPOOLER, "s\r1", None)) == 11
    with pytest.raises(DCERPCException, match="000006f5"):  # 1781: enum value out of range
        createobj(dce, 40000, "s3", bindings=[B1], host="h")
    assert qorctl(qor, "list any-svr")[:2] == (0, "")  # nothing was registered
    # A list may name itself: members are kept, never followed.
    assert createobj(qor.connect(), GROUP, "g1", members=[(GROUP, "g1", None)]) == 0
    assert qorctl(qor, "list group g1")[:2] == (0, "group:g1@WG\n")
    assert qor.stop() == 0


def test_only_the_domain_controller_runs_unless_forced(tmp_path):
    site = Site(tmp_path, "WG pdc0\n")
    for computer, args, settings, outcome in [
            ("pdc0", (), {}, "READY=1"),
            ("m1", (), {}, "STATUS=Stopped (exit code 1354)"),
            ("m2", ("-f",), {}, "READY=1"),
            ("m3", (), {"QorDisableCheck": "dword:1"}, "READY=1")]:
        qor = Instance(site, computer, **settings)
        notify, message = start_service(qor, *args)
        assert outcome in message
        if outcome == "READY=1":  # the states systemd is told, up and down
            assert "STATUS=Running" in message and qorctl(qor, "getdomain")[:2] == (0, "WG\n")
            assert qor.stop() == 0
            notify.until("STOPPING=1")
            assert notify.until("STATUS=Stopped") == "STATUS=Stopped (exit code 0)"
            assert qor.ids() == ["0x40000001", "0x40000002"]
        else:
            assert qor.proc.wait() == 0
            assert qor.ids() == ["0xC000000C"] and not site.exported(qor.addr)


def test_second_instance_in_a_workgroup_is_refused(tmp_path):
    site = Site(tmp_path)
    a = Instance(site, "a").start("-c")
    assert a.wait_started() and a.stop() == 0
    # The same address now serves another workgroup: found first, skipped.
    other = Instance(site, "a", langroup="OTHER", addr=a.addr).start("-c")
    b = Instance(site, "b").start("-c")
    assert other.wait_started() and b.wait_started()
    c = Instance(site, "c")
    assert "STATUS=Stopped (exit code 1056)" in start_service(c)[1]
    assert c.proc.wait() == 0
    assert [(e["id"], e["strings"]) for e in c.events()] == [("0xC000000D", [b.addr])]
    assert not site.exported(c.addr)
    # A stop asked for during the start (b frozen: the check waits for it) is taken once running.
    b.proc.send_signal(signal.SIGSTOP)
    d = Instance(site, "d")
    notify, message = start_service(d, starting=lambda: d.proc.send_signal(signal.SIGTERM))
    assert "READY=1" in message and "STOPPING=1" in notify.until("STOPPING=1", "STATUS=Stopped")
    assert d.proc.wait() == 0 and d.ids() == ["0x40000001", "0x40000002"]
    # In console mode a second stop ends such a start at once.
    e = Instance(site, "e").start("-c")
    time.sleep(0.5)  # well inside the check's wait for b
    e.proc.send_signal(signal.SIGINT), e.proc.send_signal(signal.SIGTERM)
    assert e.proc.wait() == 0 and e.ids() == []
    b.proc.send_signal(signal.SIGCONT)
    other.stop(), b.stop()


def test_failed_start_reports_and_leaves_nothing_behind(tmp_path):
    site = Site(tmp_path)
    (tmp_path / "file").write_text("")
    taken = socket.socket()
    addr = loopback()
    taken.bind((addr, site.port))
    taken.listen()
    held = Instance(Site(tmp_path / "h"), "held").start("-c")  # no other qor may use its data
    assert held.wait_started()
    for i, (settings, outcome, events) in enumerate([
            ({"QorDataDirectory": "sz:%s/data" % held.dir, "QorDisableCheck": "dword:1"},
             "exit code 1066, service-specific exit code 19", []),
            ({"QorDataDirectory": "sz:%s/file/data" % tmp_path},
             "exit code 1066, service-specific exit code 19", []),
            ({"RpcProtocolSequence": "multi_sz:ncacn_np,no_such\\\\\"seq"}, "STATUS=Stopped",
             [("0x8000000E", ["ncacn_np"]), ("0x8000000F", ["no_such\\\"seq"])]),
            ({}, "exit code 1752", []),
            ({"RpcMaxCall": "dword:0"}, "exit code 1742", []),  # exported, then taken back
            # An unreadable name-service folder: 1762 once all 11 imports are refused.
            ({"RpcNsDirectory": "sz:%s/file" % tmp_path}, "1762", [("0xC0000003", ["6e2"])])]):
        qor = Instance(site, "m%d" % i, addr=addr if not settings else None, **settings)
        assert outcome in start_service(qor)[1]
        assert qor.proc.wait() == 0
        assert [(e["id"], e["strings"][:1]) for e in qor.events()] == events
        assert not site.exported(qor.addr)
    taken.close(), held.stop()
    # With no event log to report to, qor ends at once with exit code 0, on settings that work.
    bad = dict(os.environ, QOR_CONFIG=held.conf, QOR_EVENTLOG="nowhere")
    assert subprocess.run([QOR, "-c"], env=bad, timeout=30).returncode == 0
    h = subprocess.run([QOR, "-c", "-h"], env=bad, capture_output=True, text=True, timeout=30)
    assert (h.returncode, h.stdout) == (0, "qor [-c] [-f]\n")


def test_the_endpoint_mappers_port_is_never_taken_by_the_services_own_endpoint(tmp_path):
    # In a network namespace the system picks ports 40000 and 40001 only: the mapper's among them.
    if not shutil.which("ip") or subprocess.run(["unshare", "-n", "true"]).returncode != 0:
        pytest.skip("no network namespace of our own")
    netns = ["unshare", "-n", "sh", "-c", 'ip link set lo up && echo "40000 40001" '
             '>/proc/sys/net/ipv4/ip_local_port_range && exec "$0" "$@"']
    for port in (40000, 40001):
        qor = Instance(Site(tmp_path / str(port)), "m1", RpcEpmapperPort="dword:%d" % port)
        assert qor.start("-c", wrap=netns).wait_started() and qor.stop() == 0
