#!/usr/bin/env python3
"""A membership lookup server for the engine's end-to-end test.

It plays the server's side of the private-set-membership lookup with its own
code, standard library only: P-256 arithmetic, the try-and-increment hash to
the curve, AES-256-CTR and the few protocol-buffer messages of the exchange
are all written here, so that the C++ client is checked against a second
reading of the protocol rather than against itself.

    membership_server.py check
        prints "hash <message hex> <point hex>" for the fixture messages and
        "aes <ciphertext hex>" for the counter-mode fixture, for the test to
        compare with the published values and with the C++ side.

    membership_server.py serve --cert C --key K --app-id A --member ADDR=VALUE ...
        serves HTTPS on 127.0.0.1 at a free port, prints "port N", then one
        line "request <path> <query as JSON>" per request (the lookup's own
        request left out); stops when its standard input closes.
"""

import argparse
import base64
import hashlib
import http.server
import json
import secrets
import ssl
import sys
import threading
import urllib.parse

# ---- P-256 (SEC 2) ----

P = 2**256 - 2**224 + 2**192 + 2**96 - 1
A = P - 3
B = 0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B
N = 0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551


def curve_rhs(x):
    return (x * x * x + A * x + B) % P


def point_add(p1, p2):
    # None is the point at infinity.
    if p1 is None:
        return p2
    if p2 is None:
        return p1
    (x1, y1), (x2, y2) = p1, p2
    if x1 == x2:
        if (y1 + y2) % P == 0:
            return None
        slope = (3 * x1 * x1 + A) * pow(2 * y1, -1, P) % P
    else:
        slope = (y2 - y1) * pow(x2 - x1, -1, P) % P
    x3 = (slope * slope - x1 - x2) % P
    return (x3, (slope * (x1 - x3) - y1) % P)


def point_multiply(point, scalar):
    result = None
    addend = point
    while scalar:
        if scalar & 1:
            result = point_add(result, addend)
        addend = point_add(addend, addend)
        scalar >>= 1
    return result


def compress(point):
    x, y = point
    return bytes([2 + (y & 1)]) + x.to_bytes(32, "big")


def decompress(data):
    if len(data) != 33 or data[0] not in (2, 3):
        raise ValueError("not a compressed point")
    x = int.from_bytes(data[1:], "big")
    if x >= P:
        raise ValueError("x out of range")
    rhs = curve_rhs(x)
    y = pow(rhs, (P + 1) // 4, P)  # P = 3 mod 4
    if y * y % P != rhs:
        raise ValueError("x has no point")
    if (y & 1) != (data[0] & 1):
        y = P - y
    return (x, y)


def minimal_bytes(number):
    return number.to_bytes((number.bit_length() + 7) // 8, "big")


def oracle_sha256(message):
    # Random oracle onto [0, P): enough SHA-256 blocks for P's bit length
    # plus one digest, numbered from 1, each over (number || message).
    output_bits = P.bit_length() + 256
    blocks = -(-output_bits // 256)
    excess = blocks * 256 - output_bits
    acc = 0
    for i in range(1, blocks + 1):
        acc = (acc << 256) + int.from_bytes(hashlib.sha256(minimal_bytes(i) + message).digest(), "big")
    return (acc >> excess) % P


def hash_to_curve(message):
    x = oracle_sha256(message)
    while True:
        rhs = curve_rhs(x)
        if pow(rhs, (P - 1) // 2, P) == 1:
            y = pow(rhs, (P + 1) // 4, P)
            if y & 1:
                y = P - y
            return (x, y)
        x = oracle_sha256(minimal_bytes(x))


# ---- AES-256, encryption only (counter mode needs no more) ----


def _make_sbox():
    # Inverses in GF(2^8) from the powers of the generator 3.
    powers, x = [], 1
    for _ in range(255):
        powers.append(x)
        x ^= ((x << 1) ^ (0x1B if x & 0x80 else 0)) & 0xFF
    log = {value: i for i, value in enumerate(powers)}
    box = []
    for a in range(256):
        c = powers[(255 - log[a]) % 255] if a else 0
        s = c
        for shift in range(1, 5):
            s ^= ((c << shift) | (c >> (8 - shift))) & 0xFF
        box.append(s ^ 0x63)
    return box


SBOX = _make_sbox()


def _xtime(a):
    return ((a << 1) ^ (0x1B if a & 0x80 else 0)) & 0xFF


def _expand_key(key):
    words = [list(key[i : i + 4]) for i in range(0, 32, 4)]
    rcon = 1
    for i in range(8, 60):
        word = list(words[i - 1])
        if i % 8 == 0:
            word = [SBOX[b] for b in word[1:] + word[:1]]
            word[0] ^= rcon
            rcon = _xtime(rcon)
        elif i % 8 == 4:
            word = [SBOX[b] for b in word]
        words.append([a ^ b for a, b in zip(words[i - 8], word)])
    return [sum(words[r * 4 : r * 4 + 4], []) for r in range(15)]


def _encrypt_block(round_keys, block):
    state = [b ^ k for b, k in zip(block, round_keys[0])]
    for r in range(1, 15):
        state = [SBOX[b] for b in state]
        # Column-major state: byte (row, column) sits at 4 * column + row.
        state = [state[4 * ((c + row) % 4) + row] for c in range(4) for row in range(4)]
        if r != 14:
            mixed = []
            for c in range(4):
                a = state[4 * c : 4 * c + 4]
                total = a[0] ^ a[1] ^ a[2] ^ a[3]
                mixed += [a[i] ^ total ^ _xtime(a[i] ^ a[(i + 1) % 4]) for i in range(4)]
            state = mixed
        state = [b ^ k for b, k in zip(state, round_keys[r])]
    return bytes(state)


def aes256_ctr(key, counter_block, data):
    round_keys = _expand_key(key)
    counter = int.from_bytes(counter_block, "big")
    out = bytearray()
    for offset in range(0, len(data), 16):
        stream = _encrypt_block(round_keys, counter.to_bytes(16, "big"))
        out += bytes(d ^ s for d, s in zip(data[offset : offset + 16], stream))
        counter = (counter + 1) % (1 << 128)
    return bytes(out)


# ---- The few protocol-buffer messages of the exchange ----


def read_varint(data, pos):
    value = shift = 0
    while True:
        if pos >= len(data) or shift > 63:
            raise ValueError("bad varint")
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


def parse_fields(data):
    """Tag -> list of values (int for varints, bytes for records)."""
    fields = {}
    pos = 0
    while pos < len(data):
        key, pos = read_varint(data, pos)
        tag, wire = key >> 3, key & 7
        if wire == 0:
            value, pos = read_varint(data, pos)
        elif wire == 2:
            length, pos = read_varint(data, pos)
            if pos + length > len(data):
                raise ValueError("record runs past the end")
            value, pos = data[pos : pos + length], pos + length
        elif wire == 1:
            value, pos = data[pos : pos + 8], pos + 8
        elif wire == 5:
            value, pos = data[pos : pos + 4], pos + 4
        else:
            raise ValueError("unknown wire type %d" % wire)
        fields.setdefault(tag, []).append(value)
    return fields


def varint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def record(tag, payload):
    return varint(tag << 3 | 2) + varint(len(payload)) + payload


def number(tag, value):
    return varint(tag << 3) + varint(value)


# ---- The server's side of the lookup ----

# The hashes' 32-byte labels, shared by client and server.
IDENTIFIER_HASH_LABEL = b"tolv/private-membership/id-hash/"
LOOKUP_HASH_LABEL = b"tolv/private-membership/lookups/"
VALUE_KEY_LABEL = b"tolv/private-membership/valuekey"


def truncate(digest, bits):
    cut = bytearray(digest[: (bits + 7) // 8])
    if bits % 8:
        cut[-1] &= (0xFF << (8 - bits % 8)) & 0xFF
    return bytes(cut)


def lookup_identifier(address, app_id):
    inner = hashlib.sha256(address.encode()).digest()
    return hashlib.sha256(inner + app_id.encode()).digest()


class Membership:
    def __init__(self, members, app_id, scheme, decoys):
        self.key = secrets.randbelow(N - 1) + 1
        self.scheme = scheme
        self.decoys = decoys
        self.members = []
        for address, value in members:
            identifier = lookup_identifier(address, app_id)
            blinded = compress(point_multiply(hash_to_curve(identifier + identifier), self.key))
            self.members.append((identifier, blinded, value))

    def encrypt_value(self, blinded, value):
        key = hashlib.sha256(VALUE_KEY_LABEL + blinded).digest()
        if self.scheme == 1:
            return aes256_ctr(key, bytes(16), len(value).to_bytes(4, "little") + value)
        iv = secrets.token_bytes(16)
        return iv + aes256_ctr(key, iv, value)

    def bucket_entry(self, blinded, value):
        lookup = hashlib.sha256(LOOKUP_HASH_LABEL + blinded).digest()
        return lookup, self.encrypt_value(blinded, value)

    def answer(self, request_bytes):
        request = parse_fields(request_bytes)
        parameters = parse_fields(request.get(2, [b""])[0])
        prefix_bits = parameters.get(3, [0])[0]
        responses = b""
        for entry_bytes in request.get(1, []):
            entry = parse_fields(entry_bytes)
            bucket_id = entry.get(1, [b""])[0]
            encrypted_id = entry[2][0]
            doubly = compress(point_multiply(decompress(encrypted_id), self.key))
            entries = []
            for identifier, blinded, value in self.members:
                digest = hashlib.sha256(IDENTIFIER_HASH_LABEL + identifier).digest()
                if prefix_bits == 0 or truncate(digest, prefix_bits) == bucket_id:
                    entries.append(self.bucket_entry(blinded, value))
            # Strangers' entries in every bucket: a full bucket alone must
            # never read as a match.
            for _ in range(self.decoys):
                entries.append(self.bucket_entry(secrets.token_bytes(33), b"decoy"))
            bucket = b"".join(record(1, lookup) for lookup, _ in entries)
            bucket += b"".join(record(2, sealed) for _, sealed in entries)
            response = record(1, record(1, encrypted_id) + record(2, doubly))
            response += record(2, bucket)
            response += record(7, number(3, self.scheme))
            responses += record(1, response)
        return responses


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def b64url_encode(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def make_handler(membership, out_lock):
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
            request_text = query.pop("psm_request", "")
            with out_lock:
                print("request %s %s" % (url.path, json.dumps(query, sort_keys=True)), flush=True)
            if url.path != "/pagead/conversion/app/psm":
                self.reply(404, b"")
                return
            try:
                answer = membership.answer(b64url_decode(request_text))
            except (ValueError, KeyError, IndexError) as problem:
                self.reply(400, str(problem).encode())
                return
            self.reply(200, json.dumps({"psm_response": b64url_encode(answer)}).encode())

        def do_POST(self):
            # Uploads are taken and dropped, so the engine's other requests
            # end as they do against a real service.
            length = int(self.headers.get("Content-Length", "0"))
            self.rfile.read(length)
            with out_lock:
                print("request %s {}" % urllib.parse.urlsplit(self.path).path, flush=True)
            self.reply(204, b"")

        def reply(self, status, body):
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


def serve(arguments):
    members = []
    for member in arguments.member:
        address, _, value = member.partition("=")
        members.append((address, value.encode()))
    membership = Membership(members, arguments.app_id, arguments.scheme, arguments.decoys)
    out_lock = threading.Lock()
    server = http.server.HTTPServer(("127.0.0.1", 0), make_handler(membership, out_lock))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(arguments.cert, arguments.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.timeout = 30
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    with out_lock:
        print("port %d" % server.server_address[1], flush=True)
    sys.stdin.read()  # until the test closes our input
    server.shutdown()


def check():
    for message in (b"", b"abc"):
        print("hash %s %s" % (message.hex() or "-", compress(hash_to_curve(message)).hex()))
    key = bytes.fromhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")
    counter = bytes.fromhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff")
    plaintext = bytes.fromhex(
        "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710"
    )
    print("aes %s" % aes256_ctr(key, counter, plaintext).hex())


def main():
    parser = argparse.ArgumentParser()
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("check")
    serving = commands.add_parser("serve")
    serving.add_argument("--cert", required=True)
    serving.add_argument("--key", required=True)
    serving.add_argument("--app-id", required=True)
    serving.add_argument("--member", action="append", default=[])
    serving.add_argument("--scheme", type=int, choices=(1, 2), default=1)
    serving.add_argument("--decoys", type=int, default=2)
    arguments = parser.parse_args()
    if arguments.command == "check":
        check()
    else:
        serve(arguments)


if __name__ == "__main__":
    main()
