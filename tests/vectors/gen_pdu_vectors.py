#!/usr/bin/python3
"""Writes pdu_vectors.txt and epm_vectors.txt ("name hex" per line) with
Debian's /usr/bin/python3 (python3-impacket). Client PDUs and requests come
from impacket's DCERPC_v5 client (and its hept_map/hept_lookup) talking to a
scripted transport; server PDUs and replies are built with impacket's classes,
with the referent ids our encoder uses (0x00020000, 0x00020004, ...).
"""
import os
import socket
import struct

from impacket.dcerpc.v5 import epm, rpcrt
from impacket.dcerpc.v5.rpcrt import (DCERPC_v5, MSRPCBindAck, MSRPCHeader, MSRPCRespHeader,
                                      CtxItemResult, MSRPCBindNak)
from impacket.uuid import uuidtup_to_bin

IFACE = uuidtup_to_bin(('b1da8d70-4984-11d0-b98c-00a0248df91a', '1.1'))
EPM = uuidtup_to_bin(('e1af8308-5d1f-11c9-91a4-08002b14a0fa', '3.0'))
NDR = uuidtup_to_bin(('8a885d04-1ceb-11c9-9fe8-08002b104860', '2.0'))
OBJECT = uuidtup_to_bin(('6b29fc40-ca47-1067-b31d-00dd010662da', '0.0'))[:16]
SPOOL = uuidtup_to_bin(('12345778-1234-abcd-ef00-0123456789ab', '1.0'))
ZERO = b'\x00' * 20
LE = lambda n: n.to_bytes(4, 'little')  # noqa: E731


class ScriptedTransport:
    """Records what the client sends; answers each read with the next queued server PDU."""

    def __init__(self, *replies):
        self.sent, self.replies = [], list(replies)

    def send(self, data, forceWriteAndx=0, forceRecv=0):
        self.sent.append(bytes(data))

    def recv(self, forceRecv=0, count=0):
        return self.replies.pop(0)


def bind_ack(ptype, call_id, frag, sec_addr, results, group=0x53f0):
    a = MSRPCBindAck()
    a['type'], a['flags'], a['call_id'], a['assoc_group'] = ptype, 3, call_id, group
    a['max_tfrag'] = a['max_rfrag'] = frag
    a['SecondaryAddr'] = sec_addr
    a['SecondaryAddrLen'] = len(sec_addr) + 1 if sec_addr else 0
    a['Pad'] = b'\x00' * ((4 - ((a['SecondaryAddrLen'] + MSRPCBindAck._SIZE) % 4)) % 4)
    items = b''
    for result, reason, syntax in results:
        r = CtxItemResult()
        r['Result'], r['Reason'], r['TransferSyntax'] = result, reason, syntax
        items += r.getData()
    a['ctx_num'], a['ctx_items'], a['frag_len'] = len(results), items, 0
    a['frag_len'] = len(a.getData())
    data = a.getData()
    if not sec_addr:
        # impacket's 'z' field always writes the NUL; a zero length has no address bytes.
        data = data[:26] + data[27:]
        data = data[:8] + len(data).to_bytes(2, 'little') + data[10:]
    return data


def ack(call_id=1, frag=4280, sec_addr=b'49664', results=((0, 0, NDR),)):
    return bind_ack(rpcrt.MSRPC_BINDACK, call_id, frag, sec_addr, results)


def response(call_id, flags, alloc_hint, stub, ptype=rpcrt.MSRPC_RESPONSE):
    r = MSRPCRespHeader()
    r['type'], r['flags'], r['call_id'], r['alloc_hint'] = ptype, flags, call_id, alloc_hint
    r['ctx_id'], r['pduData'] = 0, stub
    return r.getData()


def fault(call_id, status):
    return response(call_id, 0x23, 32, LE(status) + b'\x00' * 4, rpcrt.MSRPC_FAULT)


def header(ptype, call_id, data=b''):
    h = MSRPCHeader()
    h['type'], h['flags'], h['call_id'], h['pduData'] = ptype, 3, call_id, data
    return h.getData()


def bind_nak(reason):
    n = MSRPCBindNak()
    n['RejectedReason'], n['SupportedVersions'] = reason, b'\x01\x05\x00' + b'\x00' * 3
    return header(rpcrt.MSRPC_BINDNAK, 1, n.getData())


def tower(iface, port, addr):
    floors = i, d, p, port_floor, host = (epm.EPMRPCInterface(), epm.EPMRPCDataRepresentation(),
                                          epm.EPMProtocolIdentifier(), epm.EPMPortAddr(),
                                          epm.EPMHostAddr())
    i['InterfaceUUID'] = iface[:16]
    i['MajorVersion'], i['MinorVersion'] = struct.unpack('<HH', iface[16:])
    d['DataRepUuid'], d['MajorVersion'], d['MinorVersion'] = NDR[:16], 2, 0
    p['ProtIdentifier'], port_floor['IpPort'] = epm.FLOOR_RPCV5_IDENTIFIER, port
    host['Ip4addr'] = socket.inet_aton(addr)
    t = epm.EPMTower()
    t['NumberOfFloors'], t['Floors'] = 5, b''.join(f.getData() for f in floors)
    return t.getData()


def twr_pointer(octets, ref):
    p = epm.twr_p_t()
    p['tower_length'], p['tower_octet_string'] = len(octets), octets
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


def pdu_vectors():
    t = ScriptedTransport(ack())
    dce = DCERPC_v5(t)
    dce.bind(IFACE)
    v = [('bind_impacket', t.sent[-1]), ('bind_ack_49664', ack())]
    stub24 = bytes(range(24))
    dce.call(3, stub24)
    v += [('request_op3', t.sent[-1]), ('response_24', response(1, 3, 24, stub24))]
    dce.call(1, b'abcd', uuid=OBJECT)
    v.append(('request_object', t.sent[-1]))
    dce.call(0, b'')
    v.append(('request_empty', t.sent[-1]))

    # A response in three fragments of a 4280-byte association: 4256 stub bytes each.
    big = bytes((i * 7) & 0xff for i in range(10000))
    frags = [response(7, (off == 0) | (off + 4256 >= len(big)) * 2, len(big) - off,
                      big[off:off + 4256]) for off in range(0, len(big), 4256)]
    v += [('response_10000_%d' % i, f) for i, f in enumerate(frags)]
    v += [('fault_op_rng', fault(4, 0x1C010002)), ('fault_unk_if', fault(5, 0x1C010003)),
          ('fault_proto', fault(6, 0x1C01000B))]
    dce.call(0, b'')  # two more calls before the alter_context: its call id is 6
    dce.call(9, b'')

    # An alter_context from impacket adding the endpoint mapper as context 1.
    alter_resp = bind_ack(rpcrt.MSRPC_ALTERCTX_R, 6, 4280, b'', [(0, 0, NDR)])
    t.replies.append(alter_resp)
    dce.alter_ctx(EPM)
    v += [('alter_context_impacket', t.sent[-1]), ('alter_context_resp', alter_resp)]

    # Windows-style three contexts answered as a server without NDR64 or bind-time features.
    return v + [
        ('bind_ack_windows_3ctx', ack(2, 5840, results=[(0, 0, NDR), (2, 2, ZERO), (2, 2, ZERO)])),
        ('bind_ack_unknown_if', ack(results=[(2, 1, ZERO)])), ('bind_ack_2048', ack(frag=2048)),
        ('bind_nak_version', bind_nak(4)), ('bind_nak_unspecified', bind_nak(0)),
        ('shutdown', header(rpcrt.MSRPC_SHUTDOWN, 0)),
        ('co_cancel', header(rpcrt.MSRPC_CO_CANCEL, 3)), ('orphaned', header(rpcrt.MSRPC_ORPHANED, 3))]


def epm_vectors():
    local = tower(IFACE, 49664, '127.0.0.1')
    # ept_map from impacket; our reply carries one tower.
    reply = epm.ept_mapResponse()
    reply['entry_handle'] = epm.ept_lookup_handle_t()
    reply['num_towers'], reply['ITowers'], reply['status'] = 1, [twr_pointer(local, 0x00020000)], 0
    map_reply = zero_pads(reply.getData(), [123])
    t = ScriptedTransport(ack(sec_addr=b'135'), response(1, 3, len(map_reply), map_reply))
    epm.hept_map('127.0.0.1', IFACE, protocol='ncacn_ip_tcp', dce=DCERPC_v5(t))
    v = [('tower_tcp_49664', local), ('ept_map_request', zero_pads(t.sent[-1][24:], [107])),
         ('ept_map_reply', map_reply)]

    # No match: no towers, the array's maximum count echoing max_towers 1.
    nomatch = b'\x00' * 20 + LE(0) + LE(1) + LE(0) + LE(0) + LE(0x16C9A0D6)
    assert epm.ept_mapResponse(nomatch)['status'] == 0x16C9A0D6
    v.append(('ept_map_reply_nomatch', nomatch))

    # ept_lookup from rpcdump's helper; our reply lists two endpoints with a nil handle.
    entries = []
    specs = [(b'\x00' * 16, IFACE, 49664, b'Varnelith Name Service\x00'), (OBJECT, SPOOL, 49665, b'\x00')]
    for i, (obj, iface, port, note) in enumerate(specs):
        e = epm.ept_entry_t()
        e['object'], e['annotation'] = obj, note
        e['tower'] = twr_pointer(tower(iface, port, '127.0.0.1'), 0x00020000 + 4 * i)
        entries.append(e)
    lk = epm.ept_lookupResponse()
    lk['entry_handle'] = epm.ept_lookup_handle_t()
    lk['num_ents'], lk['entries'], lk['status'] = 2, entries, 0
    lookup_reply = zero_pads(lk.getData(), [87, 117, 118, 119, 203, 287])
    # The array's maximum count is max_ents as asked (500), not the entries sent.
    lookup_reply = lookup_reply[:24] + LE(500) + lookup_reply[28:]
    t = ScriptedTransport(ack(sec_addr=b'135'),
                          response(1, 3, len(lookup_reply), lookup_reply))
    found = epm.hept_lookup('127.0.0.1', dce=DCERPC_v5(t))
    assert found[0]['annotation'] == b'Varnelith Name Service\x00', found[0]['annotation']
    assert epm.PrintStringBinding(found[1]['tower']['Floors']) == 'ncacn_ip_tcp:127.0.0.1[49665]'
    return v + [('ept_lookup_request', t.sent[-1][24:]), ('ept_lookup_reply', lookup_reply)]


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    for name, v in (('pdu', pdu_vectors()), ('epm', epm_vectors())):
        with open(os.path.join(here, name + '_vectors.txt'), 'w') as f:
            f.write('# Generated by gen_pdu_vectors.py with impacket; "name hex" per line.\n')
            f.writelines('%s %s\n' % (n, data.hex()) for n, data in v)
