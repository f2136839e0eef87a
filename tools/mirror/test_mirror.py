"""Tests of the update mirror against real sockets (Linux, no Wine).

    python3 -m unittest -v test_mirror      (from tools/mirror)
"""

import base64
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from mirror_client import MIRROR_SCRIPT, Mirror, MirrorError

STUBS = {"ZVUpdaterRes.dll": b"res-dll " * 8, "ZVUpdater.exe": b"MZ updater " * 50,
         "ZVCallUpdater.exe": b"MZ launcher " * 100}
UPDATER = "/Zelvra/ZVUpdater.exe"
LAUNCHER = "/Zelvra/ZVCallUpdater.exe"
INSTALLER_HEADERS = {"User-Agent": "Zelvra(TM) Installer", "Cache-Control": "no-cache",
                     "Pragma": "no-cache"}


def make_stub_dir(parent):
    folder = os.path.join(parent, "stubs")
    os.makedirs(folder)
    for name, data in STUBS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return folder


class Client:
    """A bare HTTP/1.1 client on one socket, to see exactly what was sent."""

    def __init__(self, port, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)

    def send(self, path, method="GET"):
        self.sock.sendall(("%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Zelvra(TM) Installer\r\n\r\n"
                           % (method, path)).encode("ascii"))

    def read_until_close(self):
        data = b""
        while True:
            chunk = self.sock.recv(65536)
            if not chunk:
                return data
            data += chunk

    def read_body(self, count):
        """Reads until the head and `count` body bytes are in; returns the body."""
        data = b""
        while len(data.partition(b"\r\n\r\n")[2]) < count:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed after %r" % data)
            data += chunk
        return data.partition(b"\r\n\r\n")[2]

    def close(self):
        self.sock.close()


def split_answer(data):
    """(status line, {lower-case header: value}, body) of a raw answer."""
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = dict((k.lower(), v.strip()) for k, _, v in (l.partition(":") for l in lines[1:]))
    return lines[0], headers, body


class MirrorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zelvra-mirror-test-")
        cls.log_file = os.path.join(cls.tmp, "requests.jsonl")
        cls.mirror = Mirror.start_standard(make_stub_dir(cls.tmp), root=os.path.join(cls.tmp, "root"),
                                           ports=(0, 0, 0), log_file=cls.log_file)

    @classmethod
    def tearDownClass(cls):
        cls.mirror.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.mirror.reset(files=True)

    def get(self, host, path, method="GET", headers=INSTALLER_HEADERS):
        connection = http.client.HTTPConnection("127.0.0.1", self.mirror.port(host), timeout=5)
        self.addCleanup(connection.close)
        connection.request(method, path, headers=headers)
        answer = connection.getresponse()
        return answer.status, answer, answer.read()

    def raw(self, host, path):
        client = Client(self.mirror.port(host))
        self.addCleanup(client.close)
        client.send(path)
        return split_answer(client.read_until_close())

    def test_standard_layout_serves_each_host_its_own_files(self):
        cases = [
            ("primary", UPDATER, 200, STUBS["ZVUpdater.exe"]),
            ("primary", LAUNCHER, 200, STUBS["ZVCallUpdater.exe"]),
            ("primary", "/Zelvra-TTS-WUX/ZVUpdaterRes.dll", 200, STUBS["ZVUpdaterRes.dll"]),
            ("primary", "/Zelvra-TTS_WUX/ZVUpdaterRes.dll", 404, None),
            ("primary", "/Zelvra/ZVUpdaterRes.dll", 404, None),
            ("secondary", "/Zelvra-TTS_WUX/ZVUpdaterRes.dll", 200, STUBS["ZVUpdaterRes.dll"]),
            ("secondary", "/Zelvra-TTS-WUX/ZVUpdaterRes.dll", 200, STUBS["ZVUpdaterRes.dll"]),
            ("dev", "/Zelvra/ZVUpdaterRes.dll", 200, STUBS["ZVUpdaterRes.dll"]),
            ("dev", LAUNCHER, 200, STUBS["ZVCallUpdater.exe"]),
            ("dev", "/Zelvra-TTS-WUX/ZVUpdaterRes.dll", 404, None),
            ("primary", "/zelvra/zvupdater.exe", 404, None),
            ("primary", "/Zelvra/", 404, None),
            ("primary", "/../secondary/Zelvra/ZVUpdater.exe", 404, None),
            ("primary", "/Zelvra/%2e%2e/%2e%2e/dev/Zelvra/ZVUpdater.exe", 404, None),
            ("primary", "/Zelvra/ZVUpdater.exe%00", 404, None),
        ]
        for host, path, status, body in cases:
            with self.subTest(host=host, path=path):
                got_status, answer, got_body = self.get(host, path)
                self.assertEqual(got_status, status)
                if body is not None:
                    self.assertEqual(got_body, body)
                    self.assertEqual(answer.getheader("Content-Length"), str(len(body)))

    def test_as_a_proxy_answers_for_the_host_on_the_urls_port_behind_basic_credentials(self):
        secondary = "http://127.0.0.1:%d%s" % (self.mirror.port("secondary"), LAUNCHER)
        self.mirror.set_proxy_credentials("user:secret")
        status, answer, _ = self.get("primary", secondary)
        self.assertEqual(status, 407)
        self.assertEqual(answer.getheader("Proxy-Authenticate"), 'Basic realm="Zelvra mirror"')
        wrong = dict(INSTALLER_HEADERS, **{"Proxy-Authorization": "Basic " + base64.b64encode(b"user:x").decode()})
        self.assertEqual(self.get("primary", secondary, headers=wrong)[0], 407)
        right = dict(INSTALLER_HEADERS, **{"Proxy-Authorization": "Basic " + base64.b64encode(b"user:secret").decode()})
        status, _, body = self.get("primary", secondary, headers=right)
        self.assertEqual((status, body), (200, STUBS["ZVCallUpdater.exe"]))
        log = self.mirror.requests()
        self.assertEqual([(e["host"], e["path"], e["proxied"], e["status"]) for e in log],
                         [("secondary", LAUNCHER, True, 407)] * 2 + [("secondary", LAUNCHER, True, 200)])
        self.mirror.set_proxy_credentials(None)
        self.assertEqual(self.get("primary", secondary)[0], 200, "no credentials demanded")

    def test_log_keeps_every_request_with_headers_and_outcome(self):
        self.get("primary", UPDATER)
        self.get("secondary", LAUNCHER, method="HEAD")
        first, second = self.mirror.wait_requests(2)
        self.assertEqual((first["host"], first["port"], first["method"], first["path"]),
                         ("primary", self.mirror.port("primary"), "GET", UPDATER))
        for name, value in INSTALLER_HEADERS.items():
            self.assertIn([name, value], first["headers"])
        self.assertEqual((first["status"], first["body_bytes"], first["outcome"]),
                         (200, len(STUBS["ZVUpdater.exe"]), "complete"))
        self.assertLessEqual(first["time"], first["end_time"])
        self.assertEqual((second["host"], second["method"], second["body_bytes"]), ("secondary", "HEAD", 0))
        self.assertEqual([e["path"] for e in self.mirror.requests(host="primary")], [UPDATER])
        self.assertEqual(self.mirror.requests(path="/nothing"), [])
        with open(self.log_file, encoding="utf-8") as f:
            logged = [json.loads(line) for line in f]
        self.assertIn(first["seq"], [e["seq"] for e in logged if e["path"] == UPDATER])
        self.mirror.reset_log()
        self.assertEqual(self.mirror.requests(), [])

    def test_status_faults(self):
        port = self.mirror.port("primary")
        cases = [
            (dict(status=404), 404, None, None),
            (dict(status=500, reason="Broken"), 500, None, None),
            (dict(status=206), 206, None, STUBS["ZVUpdater.exe"]),
            (dict(status=302, location=LAUNCHER), 302,
             "http://127.0.0.1:%d%s" % (port, LAUNCHER), None),
            (dict(status=301, location="http://127.0.0.1:1/x"), 301, "http://127.0.0.1:1/x", None),
            (dict(body=b"\x00\x01override"), 200, None, b"\x00\x01override"),
            (dict(status=404, body="gone"), 404, None, b"gone"),
        ]
        for fault, status, location, body in cases:
            with self.subTest(fault=fault):
                self.mirror.set_fault("primary", UPDATER, **fault)
                got_status, answer, got_body = self.get("primary", UPDATER)
                self.assertEqual(got_status, status)
                self.assertEqual(answer.getheader("Location"), location)
                if "reason" in fault:
                    self.assertEqual(answer.reason, fault["reason"])
                if body is not None:
                    self.assertEqual(got_body, body)
        self.assertEqual(self.get("primary", UPDATER)[1].getheader("Content-Range"), None)
        self.mirror.set_fault("primary", UPDATER, status=206)
        size = len(STUBS["ZVUpdater.exe"])
        self.assertEqual(self.get("primary", UPDATER)[1].getheader("Content-Range"),
                         "bytes 0-%d/%d" % (size - 1, size))

    def test_content_length_faults(self):
        body = STUBS["ZVUpdater.exe"]
        cases = [  # fault, Content-Length header sent (None: absent), body received
            (dict(no_content_length=True), None, body),
            (dict(content_length="abc"), "abc", body),
            (dict(content_length="-5"), "-5", body),
            (dict(content_length="1" * 40), "1" * 40, body),
            (dict(content_length=100, body="0123456789"), "100", b"0123456789"),
            (dict(content_length=3, body="0123456789"), "3", b"0123456789"),
        ]
        for fault, length, received in cases:
            with self.subTest(fault=fault):
                self.mirror.set_fault("primary", UPDATER, **fault)
                status_line, headers, got = self.raw("primary", UPDATER)
                self.assertTrue(status_line.startswith("HTTP/1.1 200"))
                self.assertEqual(headers.get("content-length"), length)
                self.assertEqual(headers.get("connection"), "close")
                self.assertEqual(got, received)

    def test_connection_closed_after_some_body_bytes(self):
        self.mirror.set_fault("primary", UPDATER, close_after=100)
        _, headers, body = self.raw("primary", UPDATER)
        self.assertEqual(headers["content-length"], str(len(STUBS["ZVUpdater.exe"])))
        self.assertEqual(body, STUBS["ZVUpdater.exe"][:100])
        [entry] = self.mirror.wait_requests(1)
        self.assertEqual((entry["outcome"], entry["body_bytes"]), ("closed", 100))

        self.mirror.set_fault("primary", UPDATER, close_after=100, close_mode="reset")
        client = Client(self.mirror.port("primary"))
        self.addCleanup(client.close)
        client.send(UPDATER)
        with self.assertRaises(ConnectionResetError):
            client.read_until_close()

    def test_stall_and_delay_hold_the_answer_back(self):
        cases = [(dict(stall_after=10, stall_seconds=0.5), 0.5), (dict(delay=0.5), 0.5)]
        for fault, seconds in cases:
            with self.subTest(fault=fault):
                self.mirror.set_fault("primary", UPDATER, **fault)
                started = time.monotonic()
                status, _, body = self.get("primary", UPDATER)
                self.assertGreaterEqual(time.monotonic() - started, seconds)
                self.assertEqual((status, body), (200, STUBS["ZVUpdater.exe"]))

    def test_endless_stall_blocks_nobody_and_a_leaving_client_is_logged(self):
        self.mirror.set_fault("primary", LAUNCHER, stall_after=5)
        stalled = Client(self.mirror.port("primary"))
        self.addCleanup(stalled.close)
        stalled.send(LAUNCHER)
        self.assertEqual(stalled.read_body(5), STUBS["ZVCallUpdater.exe"][:5])
        started = time.monotonic()
        self.assertEqual(self.get("primary", UPDATER)[0], 200)
        self.assertLess(time.monotonic() - started, 1.0)
        self.assertEqual(self.mirror.requests(path=LAUNCHER)[0]["outcome"], "pending")
        stalled.close()
        [entry] = self.mirror.wait_requests(1, path=LAUNCHER, timeout=5)
        self.assertEqual((entry["outcome"], entry["body_bytes"]), ("aborted", 5))

    def test_silent_host_answers_nothing(self):
        self.mirror.set_fault("primary", UPDATER, silent=True)
        client = Client(self.mirror.port("primary"), timeout=0.5)
        client.send(UPDATER)
        with self.assertRaises(socket.timeout):
            client.sock.recv(1)
        client.close()
        [entry] = self.mirror.wait_requests(1, timeout=5)
        self.assertEqual((entry["status"], entry["outcome"]), (None, "aborted"))

        self.mirror.set_fault("primary", UPDATER, silent=True, silent_seconds=0.3)
        self.assertEqual(self.raw("primary", UPDATER), ("", {}, b""))

    def test_rate_limits_per_path_and_per_host(self):
        self.mirror.put_file("primary", UPDATER, b"x" * 4000)
        for path in (UPDATER, "*"):
            with self.subTest(path=path):
                self.mirror.clear_faults()
                self.mirror.set_fault("primary", path, rate=8000)
                started = time.monotonic()
                self.assertEqual(len(self.get("primary", UPDATER)[2]), 4000)
                self.assertGreaterEqual(time.monotonic() - started, 0.4)

    def test_raw_answer_is_sent_as_is(self):
        self.mirror.set_fault("primary", UPDATER, raw=b"HTTP/1.1 abc Odd\r\n\r\nrest")
        client = Client(self.mirror.port("primary"))
        self.addCleanup(client.close)
        client.send(UPDATER)
        self.assertEqual(client.read_until_close(), b"HTTP/1.1 abc Odd\r\n\r\nrest")

    def test_reset_before_any_answer(self):
        self.mirror.set_fault("primary", UPDATER, raw=b"", close_mode="reset")
        client = Client(self.mirror.port("primary"))
        self.addCleanup(client.close)
        client.send(UPDATER)
        with self.assertRaises(ConnectionResetError):
            client.read_until_close()
        [entry] = self.mirror.wait_requests(1)
        self.assertEqual((entry["status"], entry["outcome"], entry["body_bytes"]), (None, "closed", 0))

    def test_fault_scope_count_and_merge(self):
        self.mirror.set_fault("primary", UPDATER, status=404, times=2)
        self.mirror.set_fault("secondary", "*", status=500)
        self.mirror.set_fault("*", LAUNCHER, status=503)
        self.mirror.set_fault("primary", "*", headers={"X-Mirror": "1"})
        self.assertEqual([self.get("primary", UPDATER)[0] for _ in range(3)], [404, 404, 200])
        self.assertEqual(self.get("secondary", UPDATER)[0], 500)
        self.assertEqual(self.get("secondary", LAUNCHER)[0], 503)  # path beats host-wide
        self.assertEqual(self.get("dev", LAUNCHER)[0], 503)
        self.assertEqual(self.get("dev", UPDATER)[0], 200)
        status, answer, _ = self.get("primary", LAUNCHER)
        self.assertEqual((status, answer.getheader("X-Mirror")), (503, "1"))
        self.assertEqual(self.mirror.requests(host="primary")[-1]["fault"],
                         {"headers": {"X-Mirror": "1"}, "status": 503})
        self.mirror.clear_faults(host="secondary")
        self.assertEqual(self.get("secondary", UPDATER)[0], 200)
        self.assertEqual(len(self.mirror.faults()), 2)

    def test_bad_faults_are_refused(self):
        cases = [
            ("primary", dict(stauts=404)),
            ("primary", dict(status="404")),
            ("primary", dict(close_after=-1)),
            ("primary", dict(close_after=True)),
            ("primary", dict(close_mode="slam")),
            ("primary", dict(rate=0)),
            ("primary", dict(times=0)),
            ("nowhere", dict(status=404)),
        ]
        for host, fault in cases:
            with self.subTest(host=host, fault=fault):
                with self.assertRaises(MirrorError):
                    self.mirror.set_fault(host, UPDATER, **fault)
        self.assertEqual(self.mirror.faults(), [])

    def test_files_can_be_replaced_removed_and_restored(self):
        self.mirror.put_file("primary", LAUNCHER, "not a program")
        self.mirror.put_file("primary", "/new/dir/file.bin", b"\xff")
        self.mirror.remove_file("primary", UPDATER)
        self.assertEqual(self.get("primary", LAUNCHER)[2], b"not a program")
        self.assertEqual(self.get("primary", "/new/dir/file.bin")[2], b"\xff")
        self.assertEqual(self.get("primary", UPDATER)[0], 404)
        self.mirror.reset(files=True)
        self.assertEqual(self.get("primary", LAUNCHER)[2], STUBS["ZVCallUpdater.exe"])
        self.assertEqual(self.get("primary", "/new/dir/file.bin")[0], 404)
        self.assertEqual(self.get("primary", UPDATER)[0], 200)

    def test_keep_alive_serves_several_requests_on_one_connection(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.mirror.port("dev"), timeout=5)
        self.addCleanup(connection.close)
        for path in (UPDATER, LAUNCHER, UPDATER):
            connection.request("GET", path)
            self.assertEqual(connection.getresponse().read(), STUBS[path.rsplit("/", 1)[1]])
        self.assertEqual(len({e["client_port"] for e in self.mirror.requests()}), 1)


class MirrorProcessTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="zelvra-mirror-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.root = os.path.join(self.tmp, "root")
        os.makedirs(self.root)
        with open(os.path.join(self.root, "file"), "wb") as f:
            f.write(b"0123456789" * 10)

    def test_stop_is_quick_with_stalled_silent_and_idle_connections(self):
        log_file = os.path.join(self.tmp, "log.jsonl")
        mirror = Mirror.start({"a": (0, self.root), "b": (0, self.root)}, log_file=log_file)
        mirror.set_fault("a", "/file", stall_after=3)
        mirror.set_fault("b", "/file", silent=True)
        clients = [Client(mirror.port(host)) for host in ("a", "b", "a")]
        for client in clients[:2]:
            client.send("/file")
        clients[2].send("/other")  # 404, then the connection idles in keep-alive
        clients[2].read_body(1)
        mirror.wait_requests(3, finished=False)
        started = time.monotonic()
        self.assertEqual(mirror.stop(), 0)
        self.assertLess(time.monotonic() - started, 3.0)
        for client in clients:
            client.close()
        with open(log_file, encoding="utf-8") as f:
            outcomes = sorted((e["host"], e["outcome"]) for e in map(json.loads, f))
        self.assertEqual(outcomes, [("a", "complete"), ("a", "stopped"), ("b", "stopped")])

    def run_cli(self, *args, **popen):
        process = subprocess.Popen([sys.executable, MIRROR_SCRIPT, "--control-port", "0", *args],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, **popen)
        self.addCleanup(process.wait, 10)
        self.addCleanup(lambda: process.poll() is None and process.kill())
        for stream in (process.stdin, process.stdout, process.stderr):
            self.addCleanup(stream.close)
        return process

    def test_cli_ready_line_files_and_signals(self):
        ready_file = os.path.join(self.tmp, "ready.json")
        pid_file = os.path.join(self.tmp, "pid")
        process = self.run_cli("--host", "a=0:" + self.root, "--ready-file", ready_file,
                               "--pid-file", pid_file)
        words = process.stdout.readline().split()
        self.assertEqual(words[:2], ["mirror", "ready"])
        ports = dict(w.split("=") for w in words[2:])
        with open(ready_file) as f:
            ready = json.load(f)
        self.assertEqual(ready["hosts"]["a"]["port"], int(ports["a"]))
        self.assertEqual(ready["control"], int(ports["control"]))
        with open(pid_file) as f:
            self.assertEqual(int(f.read()), process.pid)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(5), 0)
        self.assertFalse(os.path.exists(ready_file) or os.path.exists(pid_file))

    def test_cli_stops_when_stdin_closes(self):
        process = self.run_cli("--host", "a=0:" + self.root, "--watch-stdin")
        self.assertTrue(process.stdout.readline().startswith("mirror ready"))
        process.stdin.close()
        self.assertEqual(process.wait(5), 0)

    def test_cli_refuses_a_taken_port_and_bad_arguments(self):
        taken = socket.socket()
        self.addCleanup(taken.close)
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        cases = [
            (["--host", "a=%d:%s" % (taken.getsockname()[1], self.root)], 2, "cannot listen"),
            (["--host", "a=x:" + self.root], 2, "NAME=PORT:ROOT"),
            (["--standard", self.tmp], 2, "stand-in files missing"),
            (["--host", "a=0:" + self.root, "--host", "a=0:" + self.root], 2, "unique"),
        ]
        for args, code, message in cases:
            with self.subTest(args=args):
                process = self.run_cli(*args)
                self.assertEqual(process.wait(5), code)
                self.assertIn(message, process.stderr.read())


if __name__ == "__main__":
    unittest.main()
