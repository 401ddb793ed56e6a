"""Near end on pyserial, written as its users write it: blocking read() for one port,
read(in_waiting) for bulk, a selector over the ports' file descriptors for many at once."""
import resource
import selectors
import sys
import time

import serial


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def open_port(path):
    return serial.Serial(path, 115200, bytesize=8, parity="N", stopbits=1,
                         xonxoff=False, rtscts=False, dsrdtr=False, timeout=None)


def cpu_us():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return int((u.ru_utime + u.ru_stime) * 1e6)


def pattern(n):
    """The far end's stream: byte i is (i + (i >> 8) + (i >> 16)) & 0xff, period 16 MiB."""
    base = bytes((j + (j >> 8)) & 0xFF for j in range(65536))
    period = b"".join(base.translate(bytes((x + k) & 0xFF for x in range(256)))
                      for k in range(256))
    reps = max(1, -(-n // len(period)))
    return period * reps


def print_stamps(stamps):
    say("stamps %d" % len(stamps))
    sys.stdout.write("".join("%d\n" % t for t in stamps))
    sys.stdout.flush()


def main(argv):
    mode = argv[1]
    if mode == "latency":
        port, count = open_port(argv[2]), int(argv[3])
        stamps = []
        say("ready")
        while len(stamps) < count:
            data = port.read(1)
            t = time.monotonic_ns()
            data += port.read(port.in_waiting)
            stamps.extend([t] * len(data))
            port.write(data)
        print_stamps(stamps)
        say("end")
        sys.stdin.readline()
        port.close()
    elif mode == "rx":
        port, trials, size = open_port(argv[2]), int(argv[3]), int(argv[4])
        expected = memoryview(pattern(size))
        say("ready")
        for _ in range(trials):
            got, good = 0, True
            while got < size:
                data = port.read(min(max(port.in_waiting, 1), size - got))
                good = good and data == expected[got:got + len(data)]
                got += len(data)
            port.write(b"K" if good else b"E")
        sys.stdin.readline()
        port.close()
    elif mode == "tx":
        port, trials, size, per_byte = (open_port(argv[2]), int(argv[3]), int(argv[4]),
                                        argv[5] == "byte")
        data = pattern(size)[:size]
        singles = [data[i:i + 1] for i in range(size)] if per_byte else None
        say("ready")
        for _ in range(trials):
            while port.read(1) != b"S":
                pass
            if per_byte:
                for b in singles:
                    port.write(b)
            else:
                port.write(data)
        sys.stdin.readline()
        port.close()
    elif mode == "idle":
        port = open_port(argv[2])
        cpu0 = cpu_us()
        say("ready")
        port.read(1)
        say("cpu_us %d" % (cpu_us() - cpu0))
        port.close()
    elif mode == "scale":
        count, cycles, paths = int(argv[2]), int(argv[3]), argv[4:]
        open_port(paths[0]).close()
        say("ready")
        if sys.stdin.readline().strip() != "open":
            return 1
        ports = [open_port(p) for p in paths]
        say("opened")
        if sys.stdin.readline().strip() != "run":
            return 1
        sel = selectors.DefaultSelector()
        for i, p in enumerate(ports):
            sel.register(p, selectors.EVENT_READ, i)
        stamps = []
        first = ports[0]
        while len(stamps) < count:
            events = sel.select()
            t = time.monotonic_ns()
            for key, _ in events:
                data = key.fileobj.read(key.fileobj.in_waiting or 1)
                if key.data == 0:
                    stamps.extend([t] * len(data))
                    first.write(data)
        sel.close()
        print_stamps(stamps)
        say("end")
        sys.stdin.readline()
        for p in ports:
            p.close()
        start, done = time.monotonic_ns(), 0
        while done < cycles:
            ports = [open_port(p) for p in paths]
            for p in ports:
                p.close()
            done += len(paths)
        say("cycles_per_s %.1f" % (done / ((time.monotonic_ns() - start) / 1e9)))
        say("end")
    else:
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
