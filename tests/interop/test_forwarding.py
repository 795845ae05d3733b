"""One name space of three qor processes: requests for another domain forwarded and answered."""

import os

from qor_instance import Instance, Site, no_qor_left, qorctl  # noqa: F401

B1 = "ncacn_ip_tcp:10.0.0.7[7000]"
# Through the local qor, for domain {D}: (command line, exit code, stdout).
SESSION = [
    ("create spooler S{D} --host h1 --binding %s --auth 2 --domain {D}" % B1, 0, ""),
    ("create lp P{D} --assoc spooler:S{D} --domain {D}", 0, ""),
    ("get lp P{D} --domain {D}",
     0, "class: lp\nserver: spooler:S{D}@{D}\nsupport_auth: 2\nbinding: %s\n" % B1),
    ("list lp --domain {D}", 0, "lp:P{D}@{D}\n"),
    ("host lp P{D} --domain {D}", 0, "h1\n"),
    ("domains {D}", 0, "{domains}"),
    ("hello --domain {D}", 0, "{addr}\n"),
    ("delete lp P{D} --domain {D}", 0, ""),
    ("get lp P{D} --domain {D}", 1, ""),  # 15 from the other side
]
SPOOLER_S = "class: spooler\nserver: spooler:S{D}@{D}\nsupport_auth: 2\nbinding: %s\n" % B1


def test_other_domains_answer_every_operation_and_are_found_again_after_a_restart(tmp_path):
    # WG, a workgroup that preloads SALES's address; SALES, a workgroup with a preload of its
    # own; ENG, a domain whose controller the directory names. WG is found by the others only
    # through the name service.
    site = Site(tmp_path)
    net = {d: Instance(site, d.lower() + "pc", d) for d in ("WG", "SALES", "ENG")}
    site.write("domains", "ENG engpc\nwg -\n")  # names compare ignoring case
    site.write("hosts", "".join("%s %spc\n" % (i.addr, d.lower()) for d, i in net.items()))
    for d, preload in (("WG", "SALES " + net["SALES"].addr), ("SALES", "HR 10.9.9.9")):
        os.makedirs(os.path.join(net[d].dir, "data"))
        with open(os.path.join(net[d].dir, "data", "qorhosts"), "w") as f:
            f.write(preload + "\n")
    for inst in net.values():
        assert inst.start("-c").wait_started()
    assert qorctl(net["WG"], "domains") == (0, "ENG\nSALES\nWG\n", "")
    # The preloaded controller, the directory's controller, the name service.
    for local, d, domains in (("WG", "SALES", "ENG\nHR\nSALES\nwg\n"), ("WG", "ENG", "ENG\nwg\n"),
                              ("ENG", "WG", "ENG\nSALES\nWG\n")):
        for line, code, out in SESSION:
            line = line.format(D=d)
            want = (code, out.format(D=d, domains=domains, addr=net[d].addr))
            rc, got, err = qorctl(net[local], line)
            assert (rc, got) == want and (code == 0 or ": status 15: " in err), line
        # The objects live on the other side only.
        spooler = "S" + d
        assert qorctl(net[d], "get spooler " + spooler)[:2] == (0, SPOOLER_S.format(D=d))
        assert qorctl(net[local], "get spooler " + spooler)[0] == 1
    # ENG started again on another port: the stored handle fails, the controller's address answers.
    eng = net["ENG"]
    assert eng.stop() == 0
    os.remove(eng.events_path)
    assert eng.start("-c").wait_started()
    assert qorctl(net["WG"], "get spooler SENG --domain ENG")[:2] == (0, SPOOLER_S.format(D="ENG"))
    for inst in net.values():
        assert inst.stop() == 0
