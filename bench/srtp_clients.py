#!/usr/bin/env python3
"""N RTSP clients of one kind that receive the stream over UDP, for bench/srtp.sh.

  srtp_clients.py srtp|udp N SECONDS WARMUP

srtp: RTSPS on 8322, RTP/SAVP over UDP with a KeyMgmt header (MIKEY, one
client key for all of them: the daemon checks it, the clients never send
SRTCP); udp: plain RTSP on 8554, RTP/AVP over UDP. Video only (the daemon runs
with audio off). Digest user bench:srtp. After WARMUP seconds of play it
counts the datagrams every client receives for SECONDS and prints
"packets=<total>" when the window opens ("window-start") and ends.
"""
import base64
import hashlib
import os
import re
import selectors
import socket
import ssl
import struct
import sys
import time

USER, PASSWORD, REALM = "bench", "srtp", "LIVE555 Streaming Media"


def mikey_header(uri):
    # Pre-shared-key initiation: header, T, RAND, SP (AES-CM 128, HMAC-SHA-1 80), KEMAC with a 30-byte TEK.
    key = os.urandom(30)
    m = bytes([1, 0, 5, 0]) + os.urandom(4) + bytes([1, 0, 0]) + struct.pack(">II", 0x1234, 0)
    m += bytes([11, 0]) + struct.pack(">Q", 0)
    m += bytes([10, 16]) + os.urandom(16)
    params = bytes([0, 1, 1, 1, 1, 16, 2, 1, 1, 3, 1, 20, 4, 1, 14, 11, 1, 10])
    m += bytes([1, 0, 0]) + struct.pack(">H", len(params)) + params
    m += bytes([0, 0]) + struct.pack(">H", 4 + 30) + bytes([0, 0x20]) + struct.pack(">H", 30) + key + bytes([0])
    return 'KeyMgmt: prot=mikey; uri="%s"; data="%s"\r\n' % (uri, base64.b64encode(m).decode())


class Client:
    def __init__(self, kind, rtp_port):
        self.kind = kind
        self.port = 8322 if kind == "srtp" else 8554
        self.base = "%s://127.0.0.1:%d/ch01" % ("rtsps" if kind == "srtp" else "rtsp", self.port)
        raw = socket.create_connection(("127.0.0.1", self.port))
        if kind == "srtp":
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            raw = ctx.wrap_socket(raw)
        self.sock, self.cseq, self.nonce, self.session = raw, 0, None, None
        self.rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.rtp.bind(("127.0.0.1", rtp_port))
        self.rtp.setblocking(False)
        self.rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtcp.bind(("127.0.0.1", rtp_port + 1))
        self.rtp_port, self.count = rtp_port, 0

    def request(self, method, url, headers=""):
        for _ in range(2):
            self.cseq += 1
            auth = ""
            if self.nonce:
                ha1 = hashlib.md5(("%s:%s:%s" % (USER, REALM, PASSWORD)).encode()).hexdigest()
                ha2 = hashlib.md5(("%s:%s" % (method, url)).encode()).hexdigest()
                resp = hashlib.md5(("%s:%s:%s" % (ha1, self.nonce, ha2)).encode()).hexdigest()
                auth = ('Authorization: Digest username="%s", realm="%s", nonce="%s", uri="%s", response="%s"\r\n'
                        % (USER, REALM, self.nonce, url, resp))
            session = "Session: %s\r\n" % self.session if self.session else ""
            self.sock.sendall(("%s %s RTSP/1.0\r\nCSeq: %d\r\n%s%s%s\r\n"
                               % (method, url, self.cseq, auth, session, headers)).encode())
            answer = b""
            while b"\r\n\r\n" not in answer:
                answer += self.sock.recv(65536)
            head, _, body = answer.partition(b"\r\n\r\n")
            head = head.decode()
            m = re.search(r"Content-Length: (\d+)", head)
            while m and len(body) < int(m.group(1)):
                body += self.sock.recv(65536)
            m = re.search(r'nonce="([0-9a-f]+)"', head)
            if head.startswith("RTSP/1.0 401") and m:
                self.nonce = m.group(1)
                continue
            return head
        return head

    def start(self):
        self.request("DESCRIBE", self.base, "Accept: application/sdp\r\n")
        url = self.base + "/track1"
        profile = "RTP/SAVP" if self.kind == "srtp" else "RTP/AVP"
        extra = mikey_header(url) if self.kind == "srtp" else ""
        head = self.request("SETUP", url, "Transport: %s;unicast;client_port=%d-%d\r\n%s"
                            % (profile, self.rtp_port, self.rtp_port + 1, extra))
        if not head.startswith("RTSP/1.0 200"):
            sys.exit("SETUP refused: " + head)
        self.session = re.search(r"Session: ([0-9A-F]+)", head).group(1)
        self.request("PLAY", self.base)


def main():
    kind, n, seconds, warmup = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
    first = 30000 if kind == "srtp" else 40000
    clients = [Client(kind, first + 2 * i) for i in range(n)]
    for c in clients:
        c.start()
    sel = selectors.DefaultSelector()
    for c in clients:
        sel.register(c.rtp, selectors.EVENT_READ, c)
    keepalive = time.monotonic() + 20
    start = time.monotonic() + warmup
    end = start + seconds
    counting = False
    while time.monotonic() < end:
        now = time.monotonic()
        if not counting and now >= start:
            counting = True
            for c in clients:
                c.count = 0
            print("window-start", flush=True)
        if now > keepalive:  # the sessions stay alive without receiver reports
            for c in clients:
                c.request("GET_PARAMETER", c.base)
            keepalive = now + 20
        for key, _ in sel.select(0.1):
            c = key.data
            try:
                while True:
                    c.rtp.recv(2048)
                    c.count += 1
            except BlockingIOError:
                pass
    print("packets=%d" % sum(c.count for c in clients), flush=True)


if __name__ == "__main__":
    main()
