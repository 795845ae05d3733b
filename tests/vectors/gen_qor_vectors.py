#!/usr/bin/python3
"""Writes the ns_qor_if stub vectors (tests/vectors/qor_vectors.txt) with impacket's NDR.

The eight operations' requests and replies are declared here with impacket's
own classes (NDRCALL, NDRSTRUCT, NDRPOINTER, conformant arrays, conformant
varying strings), independently of qor's codec, and marshalled with the values
that tests/qor_stubs_test.cpp builds under the same names.

Two things impacket leaves free are fixed so that the vectors are byte-exact:
  - pad bytes: impacket fills them with 0xaa/0xab/0xbf; qor sends zeros, so
    impacket's NDR module is loaded with zero fill;
  - referent ids: impacket picks random ones; every pointer here gets a
    placeholder id, and after marshalling the ids are renumbered 0x00020000,
    0x00020004, ... in the order they appear on the wire, as DCE stubs number
    them.
Every vector is parsed back with impacket and compared with its values.

Run with Debian's interpreter: /usr/bin/python3 tests/vectors/gen_qor_vectors.py
"""

import importlib.util
import os
import struct
import sys

# Load impacket's NDR module with zero pad bytes before anything imports it.
# Imported as a module (the interop tests' declaration of ns_qor_if), it uses
# impacket as it is, so that its classes mix with the rest of impacket.
if __name__ == "__main__":
    _spec = importlib.util.find_spec("impacket.dcerpc.v5.ndr")
    _src = open(_spec.origin).read()
    for fill in (b"\\xaa", b"\\xab", b"\\xAB", b"\\xbf"):
        _src = _src.replace("b'%s'*pad" % fill.decode(), "b'\\x00'*pad")
    _ndr = importlib.util.module_from_spec(_spec)
    sys.modules["impacket.dcerpc.v5.ndr"] = _ndr
    exec(compile(_src, _spec.origin, "exec"), _ndr.__dict__)

from impacket.dcerpc.v5.ndr import (NDRCALL, NDRSTRUCT, NDRPOINTER, NDRENUM,  # noqa: E402
                                    NDRUniConformantArray)
from impacket.dcerpc.v5.dtypes import LONG, STR, LPSTR  # noqa: E402
from enum import Enum  # noqa: E402

PLACEHOLDER = 0x7F000000  # placeholder ids: 7f000000 + k, never in the values


class QORCLASS(NDRENUM):
    class enumItems(Enum):
        QOR_LP = 0
        QOR_PP = 1
        QOR_ANY_PRN = 2
        QOR_SPOOLER = 3
        QOR_SUPERV = 4
        QOR_ANY_SVR = 5
        QOR_QUEUE = 6
        QOR_NTFY = 7
        QOR_GROUP = 8
        QOR_BACKUP = 9
        QOR_NONE = 10


class QOROBJID(NDRSTRUCT):
    structure = (("nsclass", QORCLASS), ("name", LPSTR), ("domain", LPSTR))


class QOROBJID_ARRAY(NDRUniConformantArray):
    item = QOROBJID


class PQOROBJID_ARRAY(NDRPOINTER):
    referent = (("Data", QOROBJID_ARRAY),)


class QOROBJECTS(NDRSTRUCT):
    structure = (("len", LONG), ("val", PQOROBJID_ARRAY))


class LPSTR_ARRAY(NDRUniConformantArray):
    item = LPSTR


class PLPSTR_ARRAY(NDRPOINTER):
    referent = (("Data", LPSTR_ARRAY),)


class RPCBINDING(NDRSTRUCT):
    structure = (("len", LONG), ("val", PLPSTR_ARRAY))


class DOMAINLIST(NDRSTRUCT):
    structure = (("len", LONG), ("val", PLPSTR_ARRAY))


class QOR_SERVERINFO(NDRSTRUCT):
    structure = (("binding", RPCBINDING), ("host", LPSTR), ("support_auth", LONG))


class qor_getdomain(NDRCALL):
    opnum = 0
    structure = ()


class qor_getdomainResponse(NDRCALL):
    structure = (("domain", LPSTR), ("ErrorCode", LONG))


class qor_deleteobj(NDRCALL):
    opnum = 1
    structure = (("obj", QOROBJID),)


class qor_deleteobjResponse(NDRCALL):
    structure = (("ErrorCode", LONG),)


class qor_createobj(NDRCALL):
    opnum = 2
    structure = (("obj", QOROBJID), ("assoc", QOROBJID), ("force", LONG),
                 ("svinfo", QOR_SERVERINFO), ("members", QOROBJECTS))


class qor_createobjResponse(NDRCALL):
    structure = (("created", LONG), ("ErrorCode", LONG))


class qor_getobj(NDRCALL):
    opnum = 3
    structure = (("obj", QOROBJID),)


class qor_getobjResponse(NDRCALL):
    structure = (("server", QOROBJID), ("binding", RPCBINDING), ("supportauth", LONG),
                 ("objclass", QORCLASS), ("ErrorCode", LONG))


class qor_listobj(NDRCALL):
    opnum = 4
    structure = (("obj", QOROBJID),)


class qor_listobjResponse(NDRCALL):
    structure = (("objects", QOROBJECTS), ("ErrorCode", LONG))


class qor_gethost(NDRCALL):
    opnum = 5
    structure = (("obj", QOROBJID),)


class qor_gethostResponse(NDRCALL):
    structure = (("host", LPSTR), ("ErrorCode", LONG))


class qor_listdomain(NDRCALL):
    opnum = 6
    structure = (("domain", STR),)


class qor_listdomainResponse(NDRCALL):
    structure = (("list", DOMAINLIST), ("ErrorCode", LONG))


class qor_hello(NDRCALL):
    opnum = 7
    structure = (("domain", STR),)


class qor_helloResponse(NDRCALL):
    structure = (("host", LPSTR), ("ErrorCode", LONG))


# ------------------------------------------------------------------ values

_next = [0]


def placeholder():
    _next[0] += 1
    return PLACEHOLDER + _next[0]


def z(s):
    """A C string as impacket's STR wants it: the terminating zero included."""
    return s + "\x00"


def set_ptr(ptr, value):
    """Fills a unique pointer to a string (None = null)."""
    if value is None:
        ptr["ReferentID"] = 0
    else:
        ptr["ReferentID"] = placeholder()
        ptr["Data"] = z(value)


def objid(rec, cls, name, domain):
    rec["nsclass"] = cls
    set_ptr(rec.fields["name"], name)
    set_ptr(rec.fields["domain"], domain)
    return rec


def strings(rec, values):
    """rpcbinding / domainlist; None = empty ({0, null})."""
    values = values or []
    rec["len"] = len(values)
    val = rec.fields["val"]
    if not values:
        val["ReferentID"] = 0
        return rec
    val["ReferentID"] = placeholder()
    for v in values:
        p = LPSTR()
        set_ptr(p, v)
        val["Data"].append(p)
    return rec


def objects(rec, values):
    values = values or []
    rec["len"] = len(values)
    val = rec.fields["val"]
    if not values:
        val["ReferentID"] = 0
        return rec
    val["ReferentID"] = placeholder()
    for cls, name, domain in values:
        val["Data"].append(objid(QOROBJID(), cls, name, domain))
    return rec


def serverinfo(rec, bindings, host, auth):
    strings(rec.fields["binding"], bindings)
    set_ptr(rec.fields["host"], host)
    rec["support_auth"] = auth
    return rec


BINDINGS3 = ["ncacn_ip_tcp:10.1.2.3[49664]", "ncacn_ip_tcp:10.1.2.4", "ncacn_np:srv1[\\pipe\\qor]"]
MEMBERS2 = [(0, "lp1", None), (6, "queue-7", "SALES")]


def build():
    """(name, NDRCALL) pairs; the C++ test builds the same values by name."""
    out = []

    def add(name, call):
        out.append((name, call))

    add("getdomain_request", qor_getdomain())
    r = qor_getdomainResponse()
    set_ptr(r.fields["domain"], "SALES")
    r["ErrorCode"] = 0
    add("getdomain_reply", r)
    r = qor_getdomainResponse()
    set_ptr(r.fields["domain"], None)
    r["ErrorCode"] = 14
    add("getdomain_reply_null", r)

    q = qor_deleteobj()
    objid(q.fields["obj"], 3, "spool1", None)  # class 3, null domain
    add("deleteobj_request", q)
    r = qor_deleteobjResponse()
    r["ErrorCode"] = 15
    add("deleteobj_reply", r)

    q = qor_createobj()
    objid(q.fields["obj"], 3, "spool1", "SALES")
    objid(q.fields["assoc"], 10, None, None)
    q["force"] = 1
    serverinfo(q.fields["svinfo"], BINDINGS3, "hostA", 7)
    objects(q.fields["members"], None)
    add("createobj_request_server", q)
    q = qor_createobj()
    objid(q.fields["obj"], 8, "grp", None)
    objid(q.fields["assoc"], 10, None, None)
    q["force"] = 0
    serverinfo(q.fields["svinfo"], None, None, 0)  # no bindings
    objects(q.fields["members"], MEMBERS2)
    add("createobj_request_group", q)
    q = qor_createobj()
    objid(q.fields["obj"], 0, "lp1", "sales")
    objid(q.fields["assoc"], 3, "spool1", None)
    q["force"] = 0
    serverinfo(q.fields["svinfo"], None, None, 0)
    objects(q.fields["members"], None)
    add("createobj_request_printer", q)
    r = qor_createobjResponse()
    r["created"] = 1
    r["ErrorCode"] = 0
    add("createobj_reply", r)

    q = qor_getobj()
    objid(q.fields["obj"], 0, "lp1", None)
    add("getobj_request", q)
    r = qor_getobjResponse()
    objid(r.fields["server"], 3, "spool1", "SALES")
    strings(r.fields["binding"], BINDINGS3)
    r["supportauth"] = 7
    r["objclass"] = 3
    r["ErrorCode"] = 0
    add("getobj_reply_three_bindings", r)
    r = qor_getobjResponse()
    objid(r.fields["server"], 10, None, None)
    strings(r.fields["binding"], None)
    r["supportauth"] = 0
    r["objclass"] = 10
    r["ErrorCode"] = 15
    add("getobj_reply_none", r)
    r = qor_getobjResponse()
    objid(r.fields["server"], 4, "sv", None)
    strings(r.fields["binding"], ["ncacn_ip_tcp:h", None])
    r["supportauth"] = -1
    r["objclass"] = 4
    r["ErrorCode"] = 0
    add("getobj_reply_null_binding", r)

    q = qor_listobj()
    objid(q.fields["obj"], 2, None, "SALES")
    add("listobj_request", q)
    r = qor_listobjResponse()
    objects(r.fields["objects"], MEMBERS2 + [(1, "pp2", "ENG")])
    r["ErrorCode"] = 0
    add("listobj_reply", r)
    r = qor_listobjResponse()
    objects(r.fields["objects"], None)
    r["ErrorCode"] = 15
    add("listobj_reply_empty", r)

    q = qor_gethost()
    objid(q.fields["obj"], 6, "queue-7", None)
    add("gethost_request", q)
    r = qor_gethostResponse()
    set_ptr(r.fields["host"], "hostA")
    r["ErrorCode"] = 0
    add("gethost_reply", r)
    r = qor_gethostResponse()
    set_ptr(r.fields["host"], None)  # a failed call: null out string
    r["ErrorCode"] = 11
    add("gethost_reply_null", r)

    q = qor_listdomain()
    q["domain"] = z("")  # the empty string: one zero byte
    add("listdomain_request_empty", q)
    q = qor_listdomain()
    q["domain"] = z("SALES")
    add("listdomain_request", q)
    r = qor_listdomainResponse()
    strings(r.fields["list"], ["SALES", "ENG", "HQ"])
    r["ErrorCode"] = 0
    add("listdomain_reply", r)
    r = qor_listdomainResponse()
    strings(r.fields["list"], None)
    r["ErrorCode"] = 18
    add("listdomain_reply_empty", r)

    q = qor_hello()
    q["domain"] = z("SALES")
    add("hello_request", q)
    r = qor_helloResponse()
    set_ptr(r.fields["host"], "10.1.2.3")
    r["ErrorCode"] = 0
    add("hello_reply", r)
    r = qor_helloResponse()
    set_ptr(r.fields["host"], None)
    r["ErrorCode"] = 19
    add("hello_reply_null", r)
    return out


def renumber(data):
    """Placeholder ids -> 0x00020000, 0x00020004, ... in wire order."""
    data = bytearray(data)
    ids = {}
    for off in range(0, len(data) - 3, 4):  # referent ids are 4-aligned
        (v,) = struct.unpack_from("<L", data, off)
        if PLACEHOLDER < v <= PLACEHOLDER + _next[0]:
            if v in ids:
                raise SystemExit("placeholder id %#x met twice" % v)
            ids[v] = 0x00020000 + 4 * len(ids)
            struct.pack_into("<L", data, off, ids[v])
    return bytes(data)


def plain(x):
    """The values of an NDR object, without referent ids."""
    if isinstance(x, NDRPOINTER):
        return None if x.fields["ReferentID"] == 0 else plain(x.fields["Data"])
    if isinstance(x, NDRUniConformantArray):
        return [plain(e) for e in x.fields["Data"]]
    if isinstance(x, (NDRSTRUCT, NDRCALL)):
        return {k: plain(x.fields[k]) for k, _ in x.structure}
    if hasattr(x, "fields") and "Data" in x.fields:
        return plain(x.fields["Data"])
    return x


def check_roundtrip(name, call, data):
    """impacket parses the renumbered bytes back to the same values and bytes."""
    parsed = call.__class__(isNDR64=False)
    parsed.fromString(data)
    if parsed.getData() != data:
        raise SystemExit("%s: impacket does not marshal its parse back to the same bytes" % name)
    if plain(parsed) != plain(call):
        raise SystemExit("%s: parsed %r, built %r" % (name, plain(parsed), plain(call)))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    lines = [
        "# ns_qor_if 1.1 stub data, marshalled by impacket %s NDR (pad bytes zero,"
        % __import__("impacket.version").version.version,
        "# referent ids renumbered 0x00020000 upwards in wire order). Written by",
        "# gen_qor_vectors.py; values are built by the same names in qor_stubs_test.cpp.",
        "# name opnum hex",
    ]
    for name, call in build():
        data = renumber(call.getData())
        check_roundtrip(name, call, data)
        opnum = getattr(call, "opnum", None)
        if opnum is None:
            opnum = globals()[call.__class__.__name__[: -len("Response")]].opnum
        lines.append("%s %d %s" % (name, opnum, data.hex()))
    with open(os.path.join(here, "qor_vectors.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
