#!/usr/bin/python3
"""The far end of a pseudo-terminal for quellin-term's tests.

Opens a pty pair, prints the slave's path on its first line of output, then plays a device on the
master side:
  upper          sends back every byte it receives, ASCII letters in upper case
  sink N FILE    takes exactly N bytes, writes them to FILE, prints "received N" and ends
"""
import os
import sys
import tty


def main():
    master, slave = os.openpty()
    tty.setraw(master)
    # Keep the slave open: with no slave open, reads of the master fail instead of waiting.
    print(os.ttyname(slave), flush=True)
    mode = sys.argv[1]
    if mode == "upper":
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                return
            if not data:
                return
            os.write(master, data.upper())
    elif mode == "sink":
        want, path = int(sys.argv[2]), sys.argv[3]
        got = bytearray()
        while len(got) < want:
            data = os.read(master, min(65536, want - len(got)))
            if not data:
                break
            got += data
        with open(path, "wb") as f:
            f.write(got)
        print("received", len(got), flush=True)
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
