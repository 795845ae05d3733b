#!/usr/bin/python3
"""Writes the ns_qor_if stub vectors (tests/vectors/qor_vectors.txt) with impacket's NDR.

The operations are declared with impacket's own classes, independently of qor's codec, and
marshalled with the values tests/qor_stubs_test.cpp builds under the same names. Pad bytes
are zero as qor sends them (impacket's NDR module loaded with zero fill) and referent ids are
renumbered 0x00020000, 0x00020004, ... in wire order, as DCE stubs number them.
Run with Debian's interpreter: /usr/bin/python3 tests/vectors/gen_qor_vectors.py
"""

import importlib.util
import os
import struct
import sys
from enum import Enum

# Zero pad bytes only when run to write the vectors; imported (the interop
# tests' declaration of ns_qor_if), impacket is used as it is.
if __name__ == "__main__":
    _spec = importlib.util.find_spec("impacket.dcerpc.v5.ndr")
    _src = open(_spec.origin).read()
    for fill in ("aa", "ab", "AB", "bf"):
        _src = _src.replace("b'\\x%s'*pad" % fill, "b'\\x00'*pad")
    _ndr = sys.modules["impacket.dcerpc.v5.ndr"] = importlib.util.module_from_spec(_spec)
    exec(compile(_src, _spec.origin, "exec"), _ndr.__dict__)

from impacket.dcerpc.v5.ndr import (NDRCALL, NDRSTRUCT, NDRPOINTER, NDRENUM,  # noqa: E402
                                    NDRUniConformantArray)
from impacket.dcerpc.v5.dtypes import LONG, STR, LPSTR  # noqa: E402

PLACEHOLDER = 0x7F000000  # placeholder ids: 7f000000 + k, never in the values


class QORCLASS(NDRENUM):
    enumItems = Enum("enumItems", "LP PP ANY_PRN SPOOLER SUPERV ANY_SVR QUEUE NTFY GROUP BACKUP "
                     "NONE", start=0)


class QOROBJID(NDRSTRUCT):
    structure = (("nsclass", QORCLASS), ("name", LPSTR), ("domain", LPSTR))


def counted(item):
    """{len, [unique] val}: a conformant array of `item` behind a unique pointer."""
    array = type("ARRAY", (NDRUniConformantArray,), {"item": item})
    pointer = type("PARRAY", (NDRPOINTER,), {"referent": (("Data", array),)})
    return type("COUNTED", (NDRSTRUCT,), {"structure": (("len", LONG), ("val", pointer))})


QOROBJECTS, RPCBINDING = counted(QOROBJID), counted(LPSTR)  # domainlist is RPCBINDING's shape


class QOR_SERVERINFO(NDRSTRUCT):
    structure = (("binding", RPCBINDING), ("host", LPSTR), ("support_auth", LONG))


# The eight operations in opnum order: in parameters, and out parameters
# before the status every reply ends with.
OPERATIONS = [
    ("getdomain", (), (("domain", LPSTR),)),
    ("deleteobj", (("obj", QOROBJID),), ()),
    ("createobj", (("obj", QOROBJID), ("assoc", QOROBJID), ("force", LONG),
                   ("svinfo", QOR_SERVERINFO), ("members", QOROBJECTS)), (("created", LONG),)),
    ("getobj", (("obj", QOROBJID),), (("server", QOROBJID), ("binding", RPCBINDING),
                                      ("supportauth", LONG), ("objclass", QORCLASS))),
    ("listobj", (("obj", QOROBJID),), (("objects", QOROBJECTS),)),
    ("gethost", (("obj", QOROBJID),), (("host", LPSTR),)),
    ("listdomain", (("domain", STR),), (("list", RPCBINDING),)),
    ("hello", (("domain", STR),), (("host", LPSTR),)),
]
# "<operation>_request..." and "<operation>_reply..." vectors' NDRCALL classes, also
# module names as impacket's dce.request() looks replies up: qor_<op>Response.
CALLS = {}
for opnum, (op, ins, outs) in enumerate(OPERATIONS):
    CALLS[op + "_request"] = type("qor_" + op, (NDRCALL,), {"opnum": opnum, "structure": ins})
    CALLS[op + "_reply"] = globals()["qor_%sResponse" % op] = type(
        "qor_%sResponse" % op, (NDRCALL,), {"opnum": opnum, "structure": outs + (("ErrorCode", LONG),)})

_next = [0]


def placeholder():
    _next[0] += 1
    return PLACEHOLDER + _next[0]


def set_ptr(ptr, value):
    """Fills a unique pointer to a string (None = null); impacket's strings carry their zero."""
    ptr["ReferentID"] = 0 if value is None else placeholder()
    if value is not None:
        ptr["Data"] = value + "\x00"
    return ptr


def objid(rec, cls, name, domain):
    rec["nsclass"] = cls
    set_ptr(rec.fields["name"], name)
    set_ptr(rec.fields["domain"], domain)
    return rec


def fill_list(rec, values, element):
    """A counted list; None = empty ({0, null})."""
    values = values or []
    rec["len"] = len(values)
    rec.fields["val"]["ReferentID"] = placeholder() if values else 0
    for v in values:
        rec.fields["val"]["Data"].append(element(v))


def fill(call, values):
    """Sets each field by its kind: identities as (class, name, domain),
    lists as Python lists, a server record as (bindings, host, auth)."""
    for name, v in values.items():
        f = call.fields[name]
        if isinstance(f, QOROBJID):
            objid(f, *v)
        elif isinstance(f, QOROBJECTS):
            fill_list(f, v, lambda m: objid(QOROBJID(), *m))
        elif isinstance(f, RPCBINDING):
            fill_list(f, v, lambda s: set_ptr(LPSTR(), s))
        elif isinstance(f, QOR_SERVERINFO):
            fill_list(f.fields["binding"], v[0], lambda s: set_ptr(LPSTR(), s))
            set_ptr(f.fields["host"], v[1])
            f["support_auth"] = v[2]
        elif isinstance(f, LPSTR):
            set_ptr(f, v)
        else:
            call[name] = v + "\x00" if isinstance(f, STR) else v
    return call


def plain(x):
    """The values of an NDR object, without referent ids (for the interop tests)."""
    if isinstance(x, NDRPOINTER):
        return None if x.fields["ReferentID"] == 0 else plain(x.fields["Data"])
    if isinstance(x, NDRUniConformantArray):
        return [plain(e) for e in x.fields["Data"]]
    if isinstance(x, (NDRSTRUCT, NDRCALL)):
        return {k: plain(x.fields[k]) for k, _ in x.structure}
    if hasattr(x, "fields") and "Data" in x.fields:
        return plain(x.fields["Data"])
    return x


BINDINGS3 = ["ncacn_ip_tcp:10.1.2.3[49664]", "ncacn_ip_tcp:10.1.2.4", "ncacn_np:srv1[\\pipe\\qor]"]
MEMBERS2 = [(0, "lp1", None), (6, "queue-7", "SALES")]
NONE = (10, None, None)
NO_SERVER = (None, None, 0)

# (name, values); the C++ test builds the same values by name.
VECTORS = [
    ("getdomain_request", {}),
    ("getdomain_reply", {"domain": "SALES", "ErrorCode": 0}),
    ("getdomain_reply_null", {"domain": None, "ErrorCode": 14}),
    ("deleteobj_request", {"obj": (3, "spool1", None)}),
    ("deleteobj_reply", {"ErrorCode": 15}),
    ("createobj_request_server", {"obj": (3, "spool1", "SALES"), "assoc": NONE, "force": 1,
                                  "svinfo": (BINDINGS3, "hostA", 7), "members": None}),
    ("createobj_request_group", {"obj": (8, "grp", None), "assoc": NONE, "force": 0,
                                 "svinfo": NO_SERVER, "members": MEMBERS2}),
    ("createobj_request_printer", {"obj": (0, "lp1", "sales"), "assoc": (3, "spool1", None),
                                   "force": 0, "svinfo": NO_SERVER, "members": None}),
    ("createobj_reply", {"created": 1, "ErrorCode": 0}),
    ("getobj_request", {"obj": (0, "lp1", None)}),
    ("getobj_reply_three_bindings", {"server": (3, "spool1", "SALES"), "binding": BINDINGS3,
                                     "supportauth": 7, "objclass": 3, "ErrorCode": 0}),
    ("getobj_reply_none", {"server": NONE, "binding": None, "supportauth": 0, "objclass": 10,
                           "ErrorCode": 15}),
    ("getobj_reply_null_binding", {"server": (4, "sv", None), "binding": ["ncacn_ip_tcp:h", None],
                                   "supportauth": -1, "objclass": 4, "ErrorCode": 0}),
    ("listobj_request", {"obj": (2, None, "SALES")}),
    ("listobj_reply", {"objects": MEMBERS2 + [(1, "pp2", "ENG")], "ErrorCode": 0}),
    ("listobj_reply_empty", {"objects": None, "ErrorCode": 15}),
    ("gethost_request", {"obj": (6, "queue-7", None)}),
    ("gethost_reply", {"host": "hostA", "ErrorCode": 0}),
    # A failed call: null out string.
    ("gethost_reply_null", {"host": None, "ErrorCode": 11}),
    # The empty string: one zero byte.
    ("listdomain_request_empty", {"domain": ""}),
    ("listdomain_request", {"domain": "SALES"}),
    ("listdomain_reply", {"list": ["SALES", "ENG", "HQ"], "ErrorCode": 0}),
    ("listdomain_reply_empty", {"list": None, "ErrorCode": 18}),
    ("hello_request", {"domain": "SALES"}),
    ("hello_reply", {"host": "10.1.2.3", "ErrorCode": 0}),
    ("hello_reply_null", {"host": None, "ErrorCode": 19}),
]


def renumber(data):
    """Placeholder ids -> 0x00020000, 0x00020004, ... in wire order."""
    data = bytearray(data)
    ids = {}
    for off in range(0, len(data) - 3, 4):  # referent ids are 4-aligned
        (v,) = struct.unpack_from("<L", data, off)
        if PLACEHOLDER < v <= PLACEHOLDER + _next[0]:
            ids[v] = 0x00020000 + 4 * len(ids)
            struct.pack_into("<L", data, off, ids[v])
    return bytes(data)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    lines = [
        "# ns_qor_if 1.1 stub data, marshalled by impacket %s NDR (pad bytes zero,"
        % __import__("impacket.version").version.version,
        "# referent ids renumbered 0x00020000 upwards in wire order). Written by",
        "# gen_qor_vectors.py; values are built by the same names in qor_stubs_test.cpp.",
        "# name opnum hex",
    ]
    for name, values in VECTORS:
        op, kind = name.split("_")[:2]
        call = fill(CALLS[op + "_" + kind](), values)
        lines.append("%s %d %s" % (name, call.opnum, renumber(call.getData()).hex()))
    with open(os.path.join(here, "qor_vectors.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
