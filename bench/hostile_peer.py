#!/usr/bin/python3
"""A port server that misbehaves on purpose, for the hostile-server drill.

  hostile_peer.py MODE [--rfc2217]   prints the port it listens on, then serves until killed

MODE is flood (bytes without a line end, as fast as the socket takes them), trickle (one such
byte every 5 ms) or opensub (IAC SB without IAC SE, then a flood). With --rfc2217 the server first
agrees to the com-port option and confirms every line setting, so that the misbehaviour meets the
program's exchanges; it starts at the program's first CR. Without it, it starts at once.
"""
import select
import socket
import sys

IAC, SB, SE, DO, COMPORT = 255, 250, 240, 253, 44
FLOOD = b"x" * 16384


def serve(conn, mode, rfc2217):
    conn.setblocking(False)
    hostile = not rfc2217
    if rfc2217:
        conn.send(bytes([IAC, DO, COMPORT]))
    pending = b""
    opened = False
    while True:
        want_write = hostile and mode != "trickle"
        timeout = 0.005 if hostile and mode == "trickle" else None
        readable, writable, _ = select.select([conn], [conn] if want_write else [], [], timeout)
        if readable:
            try:
                data = conn.recv(4096)
            except BlockingIOError:
                data = None
            if data == b"":
                return
            if data and not hostile:
                pending += data
                start = bytes([IAC, SB, COMPORT])
                while start in pending:
                    at = pending.index(start)
                    end = pending.find(bytes([IAC, SE]), at + 3)
                    if end < 0:
                        break
                    reply = bytearray(pending[at:end + 2])
                    if len(reply) > 3:
                        reply[3] = (reply[3] + 100) & 0xFF
                    conn.send(bytes(reply))
                    pending = pending[end + 2:]
                hostile = b"\r" in data
        if not hostile:
            continue
        try:
            if mode == "trickle":
                conn.send(b"x")
            elif mode == "opensub" and not opened:
                conn.send(bytes([IAC, SB, COMPORT]) + FLOOD)
                opened = True
            elif writable:
                conn.send(FLOOD)
        except BlockingIOError:
            pass
        except OSError:
            return


def main():
    mode = sys.argv[1]
    rfc2217 = "--rfc2217" in sys.argv
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    print(server.getsockname()[1], flush=True)
    while True:
        conn, _ = server.accept()
        try:
            serve(conn, mode, rfc2217)
        except OSError:
            pass
        conn.close()


if __name__ == "__main__":
    main()
