#!/usr/bin/python3
"""Writes epm_vectors.txt: endpoint-mapper stubs and towers as impacket builds
and reads them (impacket.dcerpc.v5.epm), for the byte-exact tests of epm.cpp.
Run with Debian's /usr/bin/python3 (python3-impacket):

    /usr/bin/python3 tests/vectors/gen_epm_vectors.py

Requests come from impacket's hept_map/hept_lookup driving a scripted
transport; replies are built with impacket's classes using the referent ids
our encoder uses (0x00020000, 0x00020004, ...), and the script checks that
impacket's helpers read them to the expected answer. Each line is "name hex".
"""
import os
import socket
import sys

from impacket.dcerpc.v5 import epm, rpcrt
from impacket.dcerpc.v5.rpcrt import DCERPC_v5, DCERPCException, MSRPCRespHeader
from impacket.uuid import uuidtup_to_bin

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gen_pdu_vectors import ScriptedTransport, bind_ack, NDR  # noqa: E402

IFACE = uuidtup_to_bin(('b1da8d70-4984-11d0-b98c-00a0248df91a', '1.1'))
SPOOL = uuidtup_to_bin(('12345778-1234-abcd-ef00-0123456789ab', '1.0'))
OBJ = uuidtup_to_bin(('6b29fc40-ca47-1067-b31d-00dd010662da', '0.0'))[:16]


def tower(iface, port, addr):
    t = epm.EPMTower()
    i = epm.EPMRPCInterface()
    i['InterfaceUUID'] = iface[:16]
    i['MajorVersion'] = int.from_bytes(iface[16:18], 'little')
    i['MinorVersion'] = int.from_bytes(iface[18:20], 'little')
    d = epm.EPMRPCDataRepresentation()
    d['DataRepUuid'] = NDR[:16]
    d['MajorVersion'] = 2
    d['MinorVersion'] = 0
    p = epm.EPMProtocolIdentifier()
    p['ProtIdentifier'] = epm.FLOOR_RPCV5_IDENTIFIER
    port_floor = epm.EPMPortAddr()
    port_floor['IpPort'] = port
    host = epm.EPMHostAddr()
    host['Ip4addr'] = socket.inet_aton(addr)
    t['NumberOfFloors'] = 5
    t['Floors'] = i.getData() + d.getData() + p.getData() + port_floor.getData() + host.getData()
    return t.getData()


def response_pdu(stub, call_id=1):
    r = MSRPCRespHeader()
    r['flags'] = 3
    r['call_id'] = call_id
    r['alloc_hint'] = len(stub)
    r['pduData'] = stub
    return r.getData()


def twr_pointer(octets, ref):
    p = epm.twr_p_t()
    p['tower_length'] = len(octets)
    p['tower_octet_string'] = octets
    p.fields['ReferentID'] = ref
    return p


def zero_pads(data, offsets):
    """impacket fills NDR alignment gaps with 0xab, 0xbf, 0xee...; we send
    zeros, and the gaps are unspecified, so the vectors hold zeros there."""
    b = bytearray(data)
    for o in offsets:
        assert b[o] in (0xaa, 0xab, 0xbf, 0xcb, 0xee), (o, b[o])
        b[o] = 0
    return bytes(b)


def main():
    v = []
    local = tower(IFACE, 49664, '127.0.0.1')
    v.append(('tower_tcp_49664', local))

    # ept_map from impacket; our reply carries one tower.
    t = ScriptedTransport()
    dce = DCERPC_v5(t)
    t.replies.append(bind_ack(rpcrt.MSRPC_BINDACK, 1, 4280, 0x53f0, b'135', [(0, 0, NDR)]))
    reply = epm.ept_mapResponse()
    reply['entry_handle'] = epm.ept_lookup_handle_t()
    reply['num_towers'] = 1
    reply['ITowers'] = [twr_pointer(local, 0x00020000)]
    reply['status'] = 0
    map_reply = zero_pads(reply.getData(), [123])
    t.replies.append(response_pdu(map_reply))
    binding = epm.hept_map('127.0.0.1', IFACE, protocol='ncacn_ip_tcp', dce=dce)
    assert binding == 'ncacn_ip_tcp:127.0.0.1[49664]', binding
    v.append(('ept_map_request_pdu', t.sent[-1]))
    v.append(('ept_map_request', zero_pads(t.sent[-1][24:], [107])))
    v.append(('ept_map_reply', map_reply))

    # No match: no towers, the array's maximum count echoing max_towers 1.
    nomatch = (b'\x00' * 20 + (0).to_bytes(4, 'little') + (1).to_bytes(4, 'little') +
               (0).to_bytes(4, 'little') + (0).to_bytes(4, 'little') +
               (0x16C9A0D6).to_bytes(4, 'little'))
    parsed = epm.ept_mapResponse(nomatch)
    assert parsed['num_towers'] == 0 and parsed['status'] == 0x16C9A0D6
    t.replies.append(bind_ack(rpcrt.MSRPC_BINDACK, 1, 4280, 0x53f0, b'135', [(0, 0, NDR)]))
    t.replies.append(response_pdu(nomatch))
    try:
        epm.hept_map('127.0.0.1', IFACE, protocol='ncacn_ip_tcp', dce=DCERPC_v5(t))
        raise SystemExit('impacket accepted ept_s_not_registered')
    except (DCERPCException, epm.DCERPCSessionError) as e:
        assert e.get_error_code() == 0x16C9A0D6, e
    v.append(('ept_map_reply_nomatch', nomatch))

    # ept_lookup from rpcdump's helper; our reply lists two endpoints with a nil handle.
    t = ScriptedTransport()
    dce = DCERPC_v5(t)
    t.replies.append(bind_ack(rpcrt.MSRPC_BINDACK, 1, 4280, 0x53f0, b'135', [(0, 0, NDR)]))
    entries = []
    specs = [(b'\x00' * 16, IFACE, 49664, b'Varnelith Name Service\x00'),
             (OBJ, SPOOL, 49665, b'\x00')]
    for i, (obj, iface, port, note) in enumerate(specs):
        e = epm.ept_entry_t()
        e['object'] = obj
        e['tower'] = twr_pointer(tower(iface, port, '127.0.0.1'), 0x00020000 + 4 * i)
        e['annotation'] = note
        entries.append(e)
    lk = epm.ept_lookupResponse()
    lk['entry_handle'] = epm.ept_lookup_handle_t()
    lk['num_ents'] = 2
    lk['entries'] = entries
    lk['status'] = 0
    lookup_reply = zero_pads(lk.getData(), [87, 117, 118, 119, 203, 287])
    # The array's maximum count is max_ents as asked (500), not the entries sent.
    assert lookup_reply[24:28] == (2).to_bytes(4, 'little')
    lookup_reply = lookup_reply[:24] + (500).to_bytes(4, 'little') + lookup_reply[28:]
    t.replies.append(response_pdu(lookup_reply))
    found = epm.hept_lookup('127.0.0.1', dce=dce)
    assert len(found) == 2
    assert found[0]['annotation'] == b'Varnelith Name Service\x00', found[0]['annotation']
    assert epm.PrintStringBinding(found[1]['tower']['Floors']) == 'ncacn_ip_tcp:127.0.0.1[49665]'
    v.append(('ept_lookup_request', t.sent[-1][24:]))
    v.append(('ept_lookup_reply', lookup_reply))

    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'epm_vectors.txt')
    with open(path, 'w') as f:
        f.write('# Generated by gen_epm_vectors.py with impacket; "name hex" per line.\n')
        for name, data in v:
            f.write('%s %s\n' % (name, data.hex()))
    print('wrote %d vectors to %s' % (len(v), path), file=sys.stderr)


if __name__ == '__main__':
    main()
