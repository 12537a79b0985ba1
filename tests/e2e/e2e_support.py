"""What the end-to-end tests share: the programs under test, a session that
starts processes and stops every one of them (by its own handle) when the
test ends, bounded waits, and the stored record format."""

import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
QMHOST = os.environ.get("QMHOST", os.path.join(REPO, "build", "qmhost"))
QMSIM = os.environ.get("QMSIM", os.path.join(REPO, "build", "qmsim"))
PYTHON = "/usr/bin/python3"
PYMODBUS_UNIT = os.path.join(HERE, "pymodbus_unit.py")

START_TIMEOUT = 5.0
RUN_TIMEOUT = 20.0

# The record as stored in history: 459 bytes, packed, registers low byte
# first. Offsets of the cells the tests look at.
RECORD_SIZE = 459
RECORD_DEV_ID = 0
RECORD_SUPPLY_RETURN_AIR = 44   # registers 1500..1503
RECORD_ALARM_BITS = 56          # coils 0..194
RECORD_SUPPLY_SETPOINT = 254    # register 0
RECORD_RETURN_SETPOINT = 256    # register 11
RECORD_HUMIDITY_SETPOINT = 258  # register 1
RECORD_ON_OFF = 262             # coil 276
RECORD_TIME = 452

# Report members.
RETURN_SETPOINT = "回风温度设定"
HUMIDITY_SETPOINT = "湿度设定"
SUPPLY_SETPOINT = "送风温度设定"
RETURN_TEMPERATURE = "1#回风温度"
RETURN_HUMIDITY = "回风湿度"
ON_OFF = "开关机"

# Alarm points by the unit's coil: (coil, alarm name, code under b_mode 1, under b_mode 2).
SUCTION_1_FAULT = (0, "1#吸气温度故障", "602400101001", "120830170010")
RETURN_AIR_HIGH = (37, "回风高温告警", "602400101023", "120830170320")
ALARM_POINTS = 180


def wait_until(condition, what, timeout=START_TIMEOUT):
    """Polls `condition` until it is true; fails the test after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(0.02)


def write_secret(path, text):
    """A secret file (token, password) as the agent takes them: mode 0600."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    os.fchmod(fd, 0o600)
    with os.fdopen(fd, "w", encoding="ascii") as f:
        f.write(text)


def free_tcp_port(count=1):
    """A loopback port the kernel handed out, with the `count - 1` ports after
    it free as well, all released again for the caller to bind."""
    for _ in range(50):
        held = []
        try:
            first = socket.socket()
            first.bind(("127.0.0.1", 0))
            held.append(first)
            port = first.getsockname()[1]
            for i in range(1, count):
                s = socket.socket()
                held.append(s)
                s.bind(("127.0.0.1", port + i))
            return port
        except OSError:
            continue
        finally:
            for s in held:
                s.close()
    raise AssertionError(f"no run of {count} free loopback ports")


class Process:
    """A background process with its output in files of the session."""

    def __init__(self, session, name, argv):
        self.name = name
        self.argv = argv
        self.stdout_path = session.path(name + ".out")
        self.stderr_path = session.path(name + ".err")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.popen = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL)

    def stdout(self):
        with open(self.stdout_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr_lines(self):
        return own_lines(self.stderr())

    def running(self):
        return self.popen.poll() is None

    def check_running(self):
        if not self.running():
            raise AssertionError(f"{self.name} exited with {self.popen.returncode}: {self.stderr().strip()}")

    def wait_for_output(self, text, timeout=START_TIMEOUT, stream="stdout"):
        read = self.stdout if stream == "stdout" else self.stderr

        def seen():
            if text in read():
                return True
            self.check_running()
            return False

        wait_until(seen, f"{self.name} to print {text!r}", timeout)

    def signal(self, number):
        if self.running():
            self.popen.send_signal(number)

    def wait(self, timeout=START_TIMEOUT):
        return self.popen.wait(timeout)

    def stop(self):
        if self.running():
            self.popen.terminate()
            try:
                self.popen.wait(START_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait()


class Session:
    """A temporary directory and the processes of one test."""

    def __init__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="qm-e2e-")
        self._processes = []
        self._closers = []

    def path(self, name):
        return os.path.join(self._tmp.name, name)

    def write_json(self, name, value):
        path = self.path(name)
        with open(path, "w", encoding="utf-8") as f:
            json.dump(value, f, ensure_ascii=False)
        return path

    def start(self, name, argv):
        process = Process(self, name, argv)
        self._processes.append(process)
        return process

    def on_close(self, stop):
        """`stop` runs at close, after the session's processes stop."""
        self._closers.append(stop)

    def close(self):
        for process in reversed(self._processes):
            process.stop()
        for stop in reversed(self._closers):
            stop()
        self._tmp.cleanup()

    # ---- the programs

    def start_tcp_unit(self, name, argv, port=0):
        """Starts a TCP slave that writes its bound port to --port-file; returns
        the process and the port."""
        port_file = self.path(name + ".port")
        if os.path.exists(port_file):
            os.remove(port_file)
        process = self.start(name, argv + ["--port-file", port_file])

        def port_written():
            if os.path.exists(port_file):
                return True
            process.check_running()
            return False

        wait_until(port_written, f"{name} to listen")
        with open(port_file, encoding="ascii") as f:
            return process, int(f.read())

    def start_qmsim(self, *options, state=None, port=0, name="qmsim"):
        argv = [QMSIM, "--tcp", f"127.0.0.1:{port}", *options]
        if state is not None:
            argv += ["--state", self.write_json(name + "-state.json", state)]
        return self.start_tcp_unit(name, argv, port)

    def start_qmsim_rtu(self, device, *options, state=None, name="qmsim"):
        argv = [QMSIM, "--rtu", device, *options]
        if state is not None:
            argv += ["--state", self.write_json(name + "-state.json", state)]
        process = self.start(name, argv)
        process.wait_for_output("qmsim: serving")
        return process

    def start_pymodbus_unit(self, *options, state=None, name="pymodbus"):
        argv = [PYTHON, PYMODBUS_UNIT, *options]
        if state is not None:
            argv += ["--state", self.write_json(name + "-state.json", state)]
        return self.start_tcp_unit(name, argv)

    def start_pty_pair(self, name="socat"):
        """Two linked pseudo-terminals (socat); returns their paths."""
        a, b = self.path(name + "-pty-a"), self.path(name + "-pty-b")
        socat = self.start(name, ["socat", "-d", "-d", f"pty,raw,echo=0,link={a}",
                                     f"pty,raw,echo=0,link={b}"])
        socat.wait_for_output("starting data transfer loop", stream="stderr")
        return a, b

    def start_qmhost(self, *args, name="qmhost"):
        return self.start(name, [QMHOST, *args])


def run_qmhost(*args, timeout=RUN_TIMEOUT, cwd=None):
    return subprocess.run([QMHOST, *[str(a) for a in args]], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL, cwd=cwd)


def own_lines(text):
    """qmhost's own lines on standard error, without the driver's diagnostics
    that share it."""
    return [line for line in text.splitlines() if line.startswith(("qmhost:", "qmsim:"))]


def stderr_lines(result):
    return own_lines(result.stderr)


def mbpoll(port, table, address, *values, count=1):
    """One mbpoll run, zero-based addresses: reads `count` objects, or writes `values`."""
    argv = ["mbpoll", "-m", "tcp", "-p", str(port), "-0", "-1", "-o", "1", "-t", table, "-r", str(address)]
    if not values:
        argv += ["-c", str(count)]
    result = subprocess.run(argv + ["127.0.0.1", *map(str, values)], capture_output=True, text=True,
                            timeout=START_TIMEOUT, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(argv)} failed: {result.stdout}{result.stderr}")
    return result.stdout


def mbpoll_read(port, table, address, count=1):
    """Values by address, from mbpoll's "[address]: value" lines."""
    out = mbpoll(port, table, address, count=count)
    return {int(a): int(v) for a, v in re.findall(r"^\[(\d+)\]:\s+(-?\d+)", out, re.MULTILINE)}


def mbpoll_write(port, table, address, value):
    out = mbpoll(port, table, address, value)
    if "Written 1 references" not in out:
        raise AssertionError(f"mbpoll did not write {address}: {out}")


def last_line(text):
    lines = [line for line in text.splitlines() if line]
    return lines[-1] if lines else ""


def complete_lines(path):
    """Lines a running program has finished writing to `path` so far."""
    try:
        with open(path, "rb") as f:
            return f.read().count(b"\n")
    except FileNotFoundError:
        return 0


def read_json_lines(path):
    """The --report and --alarms files: one JSON document per line."""
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f.read().splitlines()]


def read_reports(path):
    """The --report file: the driver's report in each line's wrapper."""
    return [line["report"] for line in read_json_lines(path)]


def read_records(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % RECORD_SIZE:
        raise AssertionError(f"history holds {len(data)} bytes, not whole {RECORD_SIZE}-byte records")
    return [data[i:i + RECORD_SIZE] for i in range(0, len(data), RECORD_SIZE)]


_zstd = None


def store_body(body, keyframe):
    """A store row's body as the driver handed it: kept raw, or a magicless
    zstd frame packed against its keyframe's body (read with the system's
    libzstd, the library the store uses)."""
    global _zstd
    if keyframe is None:
        return body
    if _zstd is None:
        import ctypes
        _zstd = ctypes.CDLL("libzstd.so.1")
        _zstd.ZSTD_createDCtx.restype = ctypes.c_void_p
        _zstd.ZSTD_DCtx_setParameter.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        _zstd.ZSTD_DCtx_refPrefix.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
        _zstd.ZSTD_decompressStream.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        _zstd.ZSTD_decompressStream.restype = ctypes.c_size_t
        _zstd.ZSTD_freeDCtx.argtypes = [ctypes.c_void_p]
    import ctypes

    class Buffer(ctypes.Structure):
        _fields_ = [("data", ctypes.c_void_p), ("size", ctypes.c_size_t), ("pos", ctypes.c_size_t)]
    dctx = _zstd.ZSTD_createDCtx()
    try:
        _zstd.ZSTD_DCtx_setParameter(dctx, 1000, 1)  # ZSTD_d_format: ZSTD_f_zstd1_magicless
        _zstd.ZSTD_DCtx_refPrefix(dctx, bytes(keyframe), len(keyframe))
        source = ctypes.create_string_buffer(bytes(body), len(body))
        out = ctypes.create_string_buffer(64 * 1024)
        inb = Buffer(ctypes.cast(source, ctypes.c_void_p), len(body), 0)
        outb = Buffer(ctypes.cast(out, ctypes.c_void_p), len(out), 0)
        left = _zstd.ZSTD_decompressStream(dctx, ctypes.byref(outb), ctypes.byref(inb))
        if left != 0 or inb.pos != len(body):
            raise AssertionError("a stored body does not unpack against its keyframe")
        return out.raw[:outb.pos]
    finally:
        _zstd.ZSTD_freeDCtx(dctx)


# A site store's records with their bodies whole: SELECT STORE_RECORDS_SQL % "columns" gives the
# columns then (body, keyframe body) for store_body.
STORE_RECORDS_SQL = ("SELECT %s, body, (SELECT keyframe.body FROM keyframe WHERE keyframe.id = record.base) "
                     "FROM record")


def record_register(record, offset, index=0):
    return struct.unpack_from("<H", record, offset + 2 * index)[0]


def record_device_id(record):
    return struct.unpack_from("<I", record, RECORD_DEV_ID)[0]


def record_year(record):
    return struct.unpack_from("<H", record, RECORD_TIME)[0]


class EndToEndTest(unittest.TestCase):
    """A test with its own session; everything it starts is stopped after it."""

    def setUp(self):
        self.session = Session()
        self.addCleanup(self.session.close)

    def assertSucceeded(self, result):
        self.assertEqual(result.returncode, 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")

    def assertReportValue(self, report, member, expected):
        """Report numbers are single precision."""
        self.assertAlmostEqual(report[member], expected, delta=1e-4, msg=member)

    def assertControlResult(self, result, expected, status=0):
        """The driver's control result, and qmhost's exit status for it."""
        self.assertEqual(result.returncode, status, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}")
        self.assertEqual(last_line(result.stdout), f"control result: {expected}", result.stdout)


def main():
    unittest.main(argv=sys.argv, verbosity=2)

