"""Real qor processes for the interop tests, with qorctl and impacket as their clients.

A Site is what several instances share, as machines of one network do (name-service folder,
domain directory, hosts file, endpoint-mapper port); each Instance has its own loopback
address, settings file, data directory and event capture file.
"""

import ctypes
import json
import os
import random
import shlex
import socket
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "vectors"))
import gen_qor_vectors as q  # noqa: E402  impacket's own declaration of ns_qor_if

from impacket.dcerpc.v5 import epm, transport  # noqa: E402
from impacket.uuid import uuidtup_to_bin  # noqa: E402

QOR = os.path.join(os.environ.get("QOR_BUILD_DIR", "build"), "qor")
QORCTL = os.path.join(os.environ.get("QOR_BUILD_DIR", "build"), "qorctl")
IFACE = uuidtup_to_bin(("b1da8d70-4984-11d0-b98c-00a0248df91a", "1.1"))
SPOOLER, GROUP, LP = 3, 8, 0


def ends_with_pytest():  # in the child: killed when pytest ends, even when a test or pytest is killed
    ctypes.CDLL(None).prctl(1, 9)  # PR_SET_PDEATHSIG, SIGKILL


def connect(addr, port=None, epm_port=None):
    """An impacket connection bound to ns_qor_if at `port`, or at the endpoint
    the endpoint mapper on `epm_port` names."""
    binding = "ncacn_ip_tcp:%s[%d]" % (addr, port) if port else None
    if binding is None:
        mapper = transport.DCERPCTransportFactory("ncacn_ip_tcp:%s[%d]" % (addr, epm_port)).get_dce_rpc()
        mapper.connect()
        binding = epm.hept_map(addr, IFACE, protocol="ncacn_ip_tcp", dce=mapper)
        mapper.call(4, bytes(20))  # ept_lookup_handle_free of the nil handle the answer held
        assert mapper.recv() == bytes(24)
        mapper.disconnect()
    dce = transport.DCERPCTransportFactory(binding).get_dce_rpc()
    dce.connect()
    dce.bind(IFACE)
    return dce


def loopback():
    return "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 255), random.randint(2, 254))


class Site:
    def __init__(self, root, domains=""):
        self.root = str(root)
        self.nsdir = os.path.join(self.root, "rpcns")
        self.domains = os.path.join(self.root, "domains")
        self.hosts = os.path.join(self.root, "hosts")
        os.makedirs(self.nsdir)  # as the installation makes it
        self.write("domains", domains)
        self.write("hosts", "")
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        self.port = s.getsockname()[1]
        s.close()

    def write(self, name, text):
        with open(os.path.join(self.root, name), "w") as f:
            f.write(text)

    def exported(self, addr):
        """True when some name-service entry names `addr`."""
        return any(addr in open(os.path.join(self.nsdir, name), errors="replace").read()
                   for name in os.listdir(self.nsdir))


class Instance:
    started = []  # every process, so that a failed test leaves none behind

    def __init__(self, site, name, langroup="WG", addr=None, **settings):
        self.site, self.addr = site, addr or loopback()
        self.dir = os.path.join(site.root, name)
        os.makedirs(self.dir, exist_ok=True)
        self.events_path = os.path.join(self.dir, "events")
        self.conf = os.path.join(self.dir, "qor.conf")
        values = {"LanGroup": "sz:" + langroup, "ComputerName": "sz:" + name,
                  "QorDataDirectory": "sz:" + os.path.join(self.dir, "data"),
                  "RpcListenAddress": "sz:" + self.addr,
                  "RpcEpmapperPort": "dword:%d" % site.port,
                  "RpcNsDirectory": "sz:" + site.nsdir, "DomainDirectory": "sz:" + site.domains,
                  "HostsFile": "sz:" + site.hosts,
                  "RpcConnectTimeout": "dword:2"}
        values.update(settings)
        with open(self.conf, "w") as f:
            f.writelines("%s = %s\n" % kv for kv in values.items())
        self.proc = None

    def start(self, *args, notify=None, unread_console=False, wrap=()):
        """Starts qor with `args` (console mode when "-c" is among them) through `wrap`; stderr
        to a file, or with `unread_console` to a pipe nobody reads, which must not end it."""
        env = dict(os.environ, QOR_CONFIG=self.conf, QOR_EVENTLOG="file:" + self.events_path, LANG="C")
        env.pop("NOTIFY_SOCKET", None)
        self.mark = len(self.events())  # where this run's events begin
        if notify is not None:
            env["NOTIFY_SOCKET"] = notify.path
        self.stderr_path = os.path.join(self.dir, "stderr")
        if unread_console:
            gone, stderr = os.pipe()
            os.close(gone)
        else:
            stderr = os.open(self.stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        self.proc = subprocess.Popen([*wrap, QOR, *args], env=env, stdout=subprocess.DEVNULL,
                                     stderr=stderr, preexec_fn=ends_with_pytest)
        os.close(stderr)
        Instance.started.append(self.proc)
        return self

    def events(self):
        if not os.path.exists(self.events_path):
            return []
        with open(self.events_path) as f:
            return [json.loads(line) for line in f]

    def ids(self):
        return [e["id"] for e in self.events()]

    def wait_started(self, timeout=30):
        """True once event 0x40000001 is reported; fails, saying how, when qor ended first."""
        end = time.time() + timeout
        while time.time() < end:
            if "0x40000001" in self.ids()[self.mark:]:
                return True
            if self.proc.poll() is not None:
                said = open(self.stderr_path).read() if os.path.exists(self.stderr_path) else ""
                raise AssertionError("qor ended before it started (exit code %d, events %s): %s"
                                     % (self.proc.returncode, self.ids()[self.mark:], said))
            time.sleep(0.02)
        raise TimeoutError("qor neither started nor ended")

    def stop(self, sig=15):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=150)

    def connect(self):
        return connect(self.addr, epm_port=self.site.port)


@pytest.fixture(autouse=True)
def no_qor_left():
    """Kills what a failed test left running (a test module imports this to use it)."""
    yield
    for proc in Instance.started:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


class Notify:
    """A NOTIFY_SOCKET of our own: what qor tells systemd, message by message."""

    def __init__(self, path):
        self.path = str(path)
        if os.path.exists(self.path):
            os.unlink(self.path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(30)

    def until(self, *texts):
        """Reads messages until one holds one of `texts`; returns it."""
        while True:
            msg = self.sock.recv(4096).decode()
            if any(t in msg for t in texts):
                return msg


def qorctl(inst, line):
    """(exit code, stdout, stderr) of a qorctl command line run with `inst`'s settings."""
    p = subprocess.run([QORCTL, *shlex.split(line)], env=dict(os.environ, QOR_CONFIG=inst.conf),
                       capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


def createobj(dce, cls, name, assoc=(10, None, None), bindings=None, host=None, members=None):
    """The status an ns_qor_if createobj sent by impacket gets."""
    req = q.fill(q.CALLS["createobj_request"](), {"obj": (cls, name, None), "assoc": assoc, "force": 0,
                                                   "svinfo": (bindings, host, 0), "members": members})
    return dce.request(req, checkError=False)["ErrorCode"]
