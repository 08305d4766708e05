#!/usr/bin/python3
"""The monitor tick made by a short pyserial script, as a yardstick for the program's own.

Each tick sends the twelve status commands, each with the same protocol as the program: drop
what is buffered, write the command and a CR, read until the reply's CR (1 s at most).

  peer_tick.py DEVICE [--ticks N]   N ticks; one line each: "wall_ns cpu_ns wire_bytes"
  peer_tick.py DEVICE --serve       one tick per line read on standard input, answered the same way

wire_bytes counts what a tick moves over the line: the commands with their CR and the replies
with their CR and LF (the LF is left in the buffer and dropped by the next command's purge).
"""
import sys
import time

import serial

COMMANDS = [b"PRTRD%d" % n for n in range(6)] + [b"ADC%d" % n for n in range(5)] + [b"TEMP"]


def tick(port):
    wire = 0
    start_cpu = time.thread_time_ns()
    start = time.perf_counter_ns()
    for command in COMMANDS:
        port.reset_input_buffer()
        port.write(command + b"\r")
        reply = port.read_until(b"\r")
        if not reply.endswith(b"\r"):
            raise RuntimeError("no reply to %s" % command.decode())
        wire += len(command) + 1 + len(reply) + 1
    wall = time.perf_counter_ns() - start
    return wall, time.thread_time_ns() - start_cpu, wire


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    port = serial.Serial(argv[1], 19200, timeout=1)
    if "--serve" in argv:
        for _ in sys.stdin:
            print("%d %d %d" % tick(port), flush=True)
        return 0
    ticks = int(argv[argv.index("--ticks") + 1]) if "--ticks" in argv else 100
    for _ in range(ticks):
        print("%d %d %d" % tick(port))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except (RuntimeError, serial.SerialException) as error:
        print("peer_tick: %s" % error, file=sys.stderr)
        sys.exit(1)
