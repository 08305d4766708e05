#!/usr/bin/env python3
"""An independent Modbus TCP client for the tests: one request a line on stdin, one answer a line.

Requests: "co|di|hr|ir ADDRESS COUNT" read; "wc ADDRESS 0|1" and "wr ADDRESS VALUE" write.
Answers: "ok V..." (the values read, or nothing for a write), "exc CODE", or "error TEXT".
"""
import sys

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse

client = ModbusTcpClient(sys.argv[1], port=int(sys.argv[2]), timeout=5, retries=0)
if not client.connect():
    print("error cannot connect", flush=True)
    sys.exit(1)
reads = {"co": client.read_coils, "di": client.read_discrete_inputs,
         "hr": client.read_holding_registers, "ir": client.read_input_registers}
for line in sys.stdin:
    op, address, number = line.split()
    address, number = int(address), int(number)
    if op in reads:
        reply = reads[op](address, count=number, slave=1)
    elif op == "wc":
        reply = client.write_coil(address, bool(number), slave=1)
    else:
        reply = client.write_register(address, number, slave=1)
    if isinstance(reply, ExceptionResponse):
        print("exc", reply.exception_code, flush=True)
    elif reply.isError():
        print("error", reply, flush=True)
    elif op in ("co", "di"):
        print("ok", *(int(b) for b in reply.bits[:number]), flush=True)
    elif op in ("hr", "ir"):
        print("ok", *reply.registers, flush=True)
    else:
        print("ok", flush=True)
