#!/usr/bin/env python3
"""A client of a shared port as a user's script would be: pyserial on socket://HOST:PORT.

One request a line on stdin, then the answer a line on stdout:
  ask COMMAND     sends COMMAND and CR, prints the reply line ("(none)" within 3 s)
  send TEXT       sends TEXT as it is, no CR (a line the client leaves unfinished); prints "sent"
  endless N       sends N bytes of one line that never ends; prints "sent"
  flood N CMD     sends CMD and CR N times and reads nothing; prints "sent"
"""
import sys

import serial

port = serial.serial_for_url("socket://" + sys.argv[1], timeout=3)
for line in sys.stdin:
    op, _, rest = line.rstrip("\n").partition(" ")
    if op == "ask":
        port.write(rest.encode("latin-1") + b"\r")
        reply = port.read_until(b"\n")
        print(reply.decode("latin-1").strip() if reply.endswith(b"\n") else "(none)", flush=True)
        continue
    if op == "send":
        port.write(rest.encode("latin-1"))
    elif op == "endless":
        port.write(b"A" * int(rest))
    elif op == "flood":
        count, command = rest.split(" ", 1)
        port.write((command.encode("latin-1") + b"\r") * int(count))
    print("sent", flush=True)
