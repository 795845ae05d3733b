"""qorctl end to end: command lines against the real qor, each with its exit code and output."""

import json

from qor_instance import Instance, Site, loopback, no_qor_left, qorctl  # noqa: F401

B1, B2 = "ncacn_ip_tcp:10.0.0.5", "ncacn_ip_tcp:10.0.0.6[7000]"
LP_P = {"command": "get", "source": "qor", "status": 0, "meaning": "success", "class": "lp",
        "server": {"class": "spooler", "name": "S", "domain": "WG"}, "bindings": [B1, B2],
        "support_auth": 1}

# (command line, exit code, stdout, stderr). Text stdout is compared whole, or up to "..." at
# its end; a dict is the JSON object stdout must hold. {addr} is qor's address (qorctl finds it
# in the settings file without -s), {absent} one where no qor runs.
SESSION = [
    ("-s {addr} getdomain", 0, "WG\n", ""),
    ("create spooler S --host h1 --binding %s --binding %s --auth 1" % (B1, B2), 0, "", ""),
    ("create lp P --assoc spooler:S", 0, "", ""),
    ("create group G --member lp:P --member=queue:Q@OTHER", 0, "", ""),
    ("get any-prn P --json", 0, LP_P, ""),
    ("--json list group G", 0, {"command": "list", "source": "qor", "status": 0,
                                "meaning": "success", "objects": [
                                    {"class": "lp", "name": "P", "domain": "WG"},
                                    {"class": "queue", "name": "Q", "domain": "OTHER"}]}, ""),
    # The service's refusals: exit code 1, the status and its meaning.
    ("get lp NOPE", 1, "", "qorctl: get lp NOPE: status 15: no such entry\n"),
    ("--json delete pp P", 1, {"command": "delete", "source": "qor", "status": 15,
                               "meaning": "no such entry"}, ""),
    # The service is not there: exit code 3 and the RPC status.
    ("-b ncacn_ip_tcp:{absent}[9] --json get lp P", 3, {
        "command": "get", "source": "rpc", "status": 1722, "meaning": "server unavailable"}, ""),
    # Bad command lines: exit code 2, one line on stderr, nothing sent.
    ("", 2, "", "qorctl: no command (qorctl --help)\n"),
    ("get lp", 2, "", "qorctl: get: wrong number of arguments; usage: qorctl get CLASS NAME "
     "[--domain D] (qorctl --help)\n"),
    ("get lp P --domain", 2, "", "qorctl: --domain needs a value (qorctl --help)\n"),
    ("-b nonsense getdomain", 2, "",
     "qorctl: -b nonsense: RPC status 1700: invalid string binding (qorctl --help)\n"),
    ("--help", 0, "usage: qorctl [-s HOST | -b STRING-BINDING] [--json] COMMAND ...", ""),
]


def test_command_lines(tmp_path):
    qor = Instance(Site(tmp_path), "m1").start("-c")
    assert qor.wait_started()
    absent = loopback()
    for line, code, out, err in SESSION:
        rc, got, stderr = qorctl(qor, line.format(addr=qor.addr, absent=absent))
        if isinstance(out, dict):
            got = json.loads(got)
        elif out.endswith("..."):
            got = got[:len(out) - 3] + "..."
        assert (rc, got, stderr) == (code, out, err), line
    qor.stop()
