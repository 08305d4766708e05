#!/usr/bin/python3
"""The hostile-server drill: velmorant-cli identifies a board behind servers that flood, trickle or
leave a telnet subnegotiation open; per server, the worst and mean wall time of a run and its peak
memory (the child's maximum resident set).

  hostile_drill.py PATH/TO/velmorant-cli [RUNS]
"""
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hostile_peer import serve  # noqa: E402

SERVERS = [("flood", False), ("trickle", False), ("flood", True), ("trickle", True), ("opensub", True)]


def start_server(mode, rfc2217):
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)

    def loop():
        while True:
            conn, _ = server.accept()
            try:
                serve(conn, mode, rfc2217)
            except OSError:
                pass
            conn.close()

    threading.Thread(target=loop, daemon=True).start()
    return server.getsockname()[1]


def main():
    cli = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    print("%-18s %8s %8s %8s %9s" % ("server", "worst_s", "mean_s", "exit", "peak_MB"))
    for mode, rfc2217 in SERVERS:
        port = start_server(mode, rfc2217)
        name = "%s://127.0.0.1:%d" % ("rfc2217" if rfc2217 else "socket", port)
        times, peak, codes = [], 0, set()
        for _ in range(runs):
            start = time.monotonic()
            child = subprocess.Popen([cli, "--port", name, "info"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
            _, status, usage = os.wait4(child.pid, 0)
            times.append(time.monotonic() - start)
            peak = max(peak, usage.ru_maxrss)
            codes.add(os.waitstatus_to_exitcode(status))
        label = "%s %s" % (mode, "rfc2217" if rfc2217 else "socket")
        print("%-18s %8.2f %8.2f %8s %9.1f" % (label, max(times), sum(times) / runs,
                                              ",".join(map(str, sorted(codes))), peak / 1024))


if __name__ == "__main__":
    main()
