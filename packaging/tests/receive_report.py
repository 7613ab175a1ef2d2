#!/usr/bin/env python3
"""Runs a peer program against a UDP socket on 127.0.0.1 and checks the one
report datagram it sends.

    receive_report.py LEVEL TEXT -- COMMAND...

COMMAND is run with "{port}" in its arguments replaced by the socket's port.
The datagram must be exactly one plain frame: CRC-16/GENIBUS of the payload,
length 266 and serial 1 (big-endian), then a report record with zero header
bytes, type 192, LEVEL and TEXT zero-padded to 256 bytes. Exit status 0 when
all of that holds, 1 otherwise (with the reasons on stderr).
"""
import socket
import subprocess
import sys

FRAME_HEADER = 6
RECORD_SIZE = 266
TEXT_WIDTH = 256
REPORT_TYPE = 192


def crc16_genibus(data):
    register = 0xFFFF
    for byte in data:
        register ^= byte << 8
        for _ in range(8):
            register = ((register << 1) ^ 0x1021) if register & 0x8000 else register << 1
            register &= 0xFFFF
    return register ^ 0xFFFF


def problems_of(datagram, level, text):
    problems = []
    if len(datagram) != FRAME_HEADER + RECORD_SIZE:
        return ["datagram of %d bytes, expected %d" % (len(datagram), FRAME_HEADER + RECORD_SIZE)]
    crc = int.from_bytes(datagram[0:2], "big")
    length = int.from_bytes(datagram[2:4], "big")
    serial = int.from_bytes(datagram[4:6], "big")
    record = datagram[FRAME_HEADER:]
    if crc != crc16_genibus(record):
        problems.append("frame CRC 0x%04x, payload gives 0x%04x" % (crc, crc16_genibus(record)))
    if length != RECORD_SIZE:
        problems.append("frame length %d, expected %d" % (length, RECORD_SIZE))
    if serial != 1:
        problems.append("frame serial %d, expected 1" % serial)
    if record[0:8] != bytes(8):
        problems.append("record header bytes %s, expected zeros" % record[0:8].hex())
    if record[8] != REPORT_TYPE:
        problems.append("record type %d, expected %d" % (record[8], REPORT_TYPE))
    if record[9] != level:
        problems.append("level %d, expected %d" % (record[9], level))
    expected_text = text.encode()[:TEXT_WIDTH].ljust(TEXT_WIDTH, b"\0")
    if record[10:] != expected_text:
        problems.append("text field %r, expected %r" % (record[10:].rstrip(b"\0"), text))
    return problems


def main():
    if len(sys.argv) < 5 or sys.argv[3] != "--":
        sys.exit(__doc__)
    level, text, command = int(sys.argv[1]), sys.argv[2], sys.argv[4:]

    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("127.0.0.1", 0))
    listener.settimeout(10)
    port = listener.getsockname()[1]

    command = [argument.replace("{port}", str(port)) for argument in command]
    run = subprocess.run(command, timeout=30)
    if run.returncode != 0:
        print("receive_report: %s exited with %d" % (command[0], run.returncode), file=sys.stderr)
        return 1
    try:
        datagram = listener.recv(65536)
    except socket.timeout:
        print("receive_report: no datagram arrived", file=sys.stderr)
        return 1
    problems = problems_of(datagram, level, text)
    listener.setblocking(False)
    try:
        extra = listener.recv(65536)
        problems.append("a second datagram of %d bytes arrived" % len(extra))
    except BlockingIOError:
        pass
    for problem in problems:
        print("receive_report: " + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
