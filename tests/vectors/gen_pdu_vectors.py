#!/usr/bin/python3
"""Writes pdu_vectors.txt and epm_vectors.txt: connection-oriented DCE/RPC
PDUs, and endpoint-mapper stubs and towers, as impacket builds and reads them,
for the byte-exact tests of the PDU codec, the connection state machines and
epm.cpp. Run with Debian's /usr/bin/python3 (python3-impacket):

    /usr/bin/python3 tests/vectors/gen_pdu_vectors.py

Each line is "name hex". Client PDUs and requests come from impacket's own
DCERPC_v5 client (and its hept_map/hept_lookup) talking to a scripted
transport; server PDUs and replies are built with impacket's classes (replies
with the referent ids our encoder uses, 0x00020000, 0x00020004, ...), and the
script checks that impacket's client reads them to the expected answer.
"""
import os
import socket
import sys

from impacket.dcerpc.v5 import epm, rpcrt
from impacket.dcerpc.v5.rpcrt import (DCERPC_v5, DCERPCException, MSRPCBindAck, MSRPCHeader,
                                      MSRPCRespHeader, CtxItemResult, MSRPCBindNak)
from impacket.uuid import uuidtup_to_bin

IFACE = uuidtup_to_bin(('b1da8d70-4984-11d0-b98c-00a0248df91a', '1.1'))
EPM = uuidtup_to_bin(('e1af8308-5d1f-11c9-91a4-08002b14a0fa', '3.0'))
NDR = uuidtup_to_bin(('8a885d04-1ceb-11c9-9fe8-08002b104860', '2.0'))
OBJECT = uuidtup_to_bin(('6b29fc40-ca47-1067-b31d-00dd010662da', '0.0'))[:16]
SPOOL = uuidtup_to_bin(('12345778-1234-abcd-ef00-0123456789ab', '1.0'))


class ScriptedTransport:
    """Records what the client sends; answers reads from queued server bytes."""

    def __init__(self):
        self.sent = []
        self.replies = []
        self.buf = b''

    def send(self, data, forceWriteAndx=0, forceRecv=0):
        self.sent.append(bytes(data))

    def recv(self, forceRecv=0, count=0):
        if not self.buf and self.replies:
            self.buf = self.replies.pop(0)
        n = count if count else len(self.buf)
        out, self.buf = self.buf[:n], self.buf[n:]
        return out


def bind_ack(ptype, call_id, frag, group, sec_addr, results):
    a = MSRPCBindAck()
    a['type'] = ptype
    a['flags'] = 3
    a['call_id'] = call_id
    a['max_tfrag'] = frag
    a['max_rfrag'] = frag
    a['assoc_group'] = group
    if sec_addr:
        a['SecondaryAddr'] = sec_addr
        a['SecondaryAddrLen'] = len(sec_addr) + 1
    else:
        a['SecondaryAddr'] = b''
        a['SecondaryAddrLen'] = 0
    a['Pad'] = b'\x00' * ((4 - ((a['SecondaryAddrLen'] + MSRPCBindAck._SIZE) % 4)) % 4)
    items = b''
    for result, reason, syntax in results:
        r = CtxItemResult()
        r['Result'] = result
        r['Reason'] = reason
        r['TransferSyntax'] = syntax
        items += r.getData()
    a['ctx_num'] = len(results)
    a['ctx_items'] = items
    a['frag_len'] = 0
    a['frag_len'] = len(a.getData())
    data = a.getData()
    if not sec_addr:
        # impacket's 'z' field always writes the NUL; a zero length has no address bytes.
        data = data[:26] + data[27:]
        data = data[:8] + len(data).to_bytes(2, 'little') + data[10:]
    return data


def response(call_id, flags, alloc_hint, ctx, stub):
    r = MSRPCRespHeader()
    r['flags'] = flags
    r['call_id'] = call_id
    r['alloc_hint'] = alloc_hint
    r['ctx_id'] = ctx
    r['pduData'] = stub
    return r.getData()


def fault(call_id, flags, ctx, status):
    f = MSRPCRespHeader()
    f['type'] = rpcrt.MSRPC_FAULT
    f['flags'] = flags
    f['call_id'] = call_id
    f['alloc_hint'] = 32
    f['ctx_id'] = ctx
    f['pduData'] = status.to_bytes(4, 'little') + b'\x00' * 4
    return f.getData()


def bare(ptype, call_id):
    h = MSRPCHeader()
    h['type'] = ptype
    h['flags'] = 3
    h['call_id'] = call_id
    return h.getData()


def bind_nak(call_id, reason):
    n = MSRPCBindNak()
    n['RejectedReason'] = reason
    n['SupportedVersions'] = b'\x01\x05\x00' + b'\x00' * 3
    h = MSRPCHeader()
    h['type'] = rpcrt.MSRPC_BINDNAK
    h['flags'] = 3
    h['call_id'] = call_id
    h['pduData'] = n.getData()
    return h.getData()


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


def pdu_vectors():
    v = []
    ZERO = b'\x00' * 20

    # impacket binds and calls; the server's answers are ours, checked by impacket.
    t = ScriptedTransport()
    dce = DCERPC_v5(t)
    ack = bind_ack(rpcrt.MSRPC_BINDACK, 1, 4280, 0x53f0, b'49664', [(0, 0, NDR)])
    t.replies.append(ack)
    dce.bind(IFACE)
    v.append(('bind_impacket', t.sent[-1]))
    v.append(('bind_ack_49664', ack))

    stub24 = bytes(range(24))
    dce.call(3, stub24)
    v.append(('request_op3', t.sent[-1]))
    resp = response(1, 3, 24, 0, stub24)
    t.replies.append(resp)
    assert dce.recv() == stub24
    v.append(('response_24', resp))

    dce.call(1, b'abcd', uuid=OBJECT)
    v.append(('request_object', t.sent[-1]))

    dce.call(0, b'')
    v.append(('request_empty', t.sent[-1]))

    # A response in three fragments of a 4280-byte association: 4256 stub bytes each.
    big = bytes((i * 7) & 0xff for i in range(10000))
    frags = []
    off = 0
    while off < len(big):
        n = min(4256, len(big) - off)
        flags = (1 if off == 0 else 0) | (2 if off + n == len(big) else 0)
        frags.append(response(7, flags, len(big) - off, 0, big[off:off + n]))
        off += n
    for i, f in enumerate(frags):
        v.append(('response_10000_%d' % i, f))
    dce.call(0, b'')
    whole = b''.join(frags)
    t.replies.append(whole)
    assert dce.recv() == big

    opfault = fault(4, 0x23, 0, 0x1C010002)
    v.append(('fault_op_rng', opfault))
    dce.call(9, b'')
    t.replies.append(opfault)
    try:
        dce.recv()
        raise SystemExit('impacket accepted a fault')
    except DCERPCException as e:
        assert 'nca_s_op_rng_error' in str(e)
    v.append(('fault_unk_if', fault(5, 0x23, 0, 0x1C010003)))
    v.append(('fault_proto', fault(6, 0x23, 0, 0x1C01000B)))

    # An alter_context from impacket adding the endpoint mapper as context 1.
    alter_resp = bind_ack(rpcrt.MSRPC_ALTERCTX_R, 6, 4280, 0x53f0, b'', [(0, 0, NDR)])
    t.replies.append(alter_resp)
    dce.alter_ctx(EPM)
    v.append(('alter_context_impacket', t.sent[-1]))
    v.append(('alter_context_resp', alter_resp))

    # Windows-style three contexts answered as a server without NDR64 or bind-time features.
    v.append(('bind_ack_windows_3ctx', bind_ack(rpcrt.MSRPC_BINDACK, 2, 5840, 0x53f0, b'49664',
                                                [(0, 0, NDR), (2, 2, ZERO), (2, 2, ZERO)])))
    v.append(('bind_ack_unknown_if', bind_ack(rpcrt.MSRPC_BINDACK, 1, 4280, 0x53f0, b'49664',
                                              [(2, 1, ZERO)])))
    t.replies.append(v[-1][1])
    try:
        DCERPC_v5(t).bind(IFACE)
        raise SystemExit('impacket accepted a rejection')
    except DCERPCException as e:
        assert 'abstract_syntax_not_supported' in str(e)

    # The answer to a bind of 2048-byte fragments.
    v.append(('bind_ack_2048', bind_ack(rpcrt.MSRPC_BINDACK, 1, 2048, 0x53f0, b'49664',
                                        [(0, 0, NDR)])))

    v.append(('bind_nak_version', bind_nak(1, 4)))
    v.append(('bind_nak_unspecified', bind_nak(1, 0)))
    v.append(('shutdown', bare(rpcrt.MSRPC_SHUTDOWN, 0)))
    v.append(('co_cancel', bare(rpcrt.MSRPC_CO_CANCEL, 3)))
    v.append(('orphaned', bare(rpcrt.MSRPC_ORPHANED, 3)))

    return v


def epm_vectors():
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
    t.replies.append(response(1, 3, len(map_reply), 0, map_reply))
    binding = epm.hept_map('127.0.0.1', IFACE, protocol='ncacn_ip_tcp', dce=dce)
    assert binding == 'ncacn_ip_tcp:127.0.0.1[49664]', binding
    v.append(('ept_map_request', zero_pads(t.sent[-1][24:], [107])))
    v.append(('ept_map_reply', map_reply))

    # No match: no towers, the array's maximum count echoing max_towers 1.
    nomatch = (b'\x00' * 20 + (0).to_bytes(4, 'little') + (1).to_bytes(4, 'little') +
               (0).to_bytes(4, 'little') + (0).to_bytes(4, 'little') +
               (0x16C9A0D6).to_bytes(4, 'little'))
    parsed = epm.ept_mapResponse(nomatch)
    assert parsed['num_towers'] == 0 and parsed['status'] == 0x16C9A0D6
    t.replies.append(bind_ack(rpcrt.MSRPC_BINDACK, 1, 4280, 0x53f0, b'135', [(0, 0, NDR)]))
    t.replies.append(response(1, 3, len(nomatch), 0, nomatch))
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
             (OBJECT, SPOOL, 49665, b'\x00')]
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
    t.replies.append(response(1, 3, len(lookup_reply), 0, lookup_reply))
    found = epm.hept_lookup('127.0.0.1', dce=dce)
    assert len(found) == 2
    assert found[0]['annotation'] == b'Varnelith Name Service\x00', found[0]['annotation']
    assert epm.PrintStringBinding(found[1]['tower']['Floors']) == 'ncacn_ip_tcp:127.0.0.1[49665]'
    v.append(('ept_lookup_request', t.sent[-1][24:]))
    v.append(('ept_lookup_reply', lookup_reply))

    return v


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for name, v in (('pdu', pdu_vectors()), ('epm', epm_vectors())):
        path = os.path.join(here, name + '_vectors.txt')
        with open(path, 'w') as f:
            f.write('# Generated by gen_pdu_vectors.py with impacket; "name hex" per line.\n')
            for n, data in v:
                f.write('%s %s\n' % (n, data.hex()))
        print('wrote %d vectors to %s' % (len(v), path), file=sys.stderr)


if __name__ == '__main__':
    main()
