#!/usr/bin/python3
"""Writes the fuzz targets' seed corpora from the impacket vectors of
tests/vectors: fuzz/corpus/pdu_reassembler_fuzz/ (a split byte, then a PDU
stream) and fuzz/corpus/ept_map_fuzz/ (endpoint-mapper stubs and a tower)."""
import os

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
vectors = os.path.join(root, 'tests', 'vectors')


def load(name):
    v = {}
    for line in open(os.path.join(vectors, name)):
        if line.strip() and not line.startswith('#'):
            k, h = line.split()
            v[k] = bytes.fromhex(h)
    return v


def write(target, name, data):
    d = os.path.join(root, 'fuzz', 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


p = load('pdu_vectors.txt')
e = load('epm_vectors.txt')
bind2048 = bytearray(p['bind_impacket'])
bind2048[16:20] = (2048).to_bytes(2, 'little') * 2
cat = lambda seed, *names: bytes([seed]) + b''.join(p[n] if isinstance(n, str) else n for n in names)
t = 'pdu_reassembler_fuzz'
write(t, 'session', cat(0, 'bind_impacket', 'request_op3', 'request_object', 'request_empty',
                        'co_cancel', 'orphaned'))
write(t, 'fragmented', cat(7, bytes(bind2048), 'request_5000_0', 'request_5000_1', 'request_5000_2'))
write(t, 'alter', cat(3, 'bind_impacket', 'alter_context_impacket', 'request_op3'))
write(t, 'client_reply', cat(1, 'bind_ack_49664', 'response_10000_0', 'response_10000_1',
                             'response_10000_2', 'fault_op_rng'))
write(t, 'client_refused', cat(2, 'bind_ack_unknown_if'))
write(t, 'client_nak', cat(5, 'bind_nak_version'))
for name in ('ept_map_request', 'ept_lookup_request', 'ept_map_reply', 'ept_map_reply_nomatch',
             'ept_lookup_reply', 'tower_tcp_49664'):
    write('ept_map_fuzz', name, e[name])
