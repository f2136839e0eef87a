#!/usr/bin/env python3
"""Local update mirror: an HTTP/1.1 server on loopback that stands in for the
installer's update hosts, with faults that tests switch on and off at run time.

Every update host is one port with its own root folder. A control port takes
JSON requests: set and clear faults, read and clear the request log, health,
shutdown. Only 127.0.0.1 is ever bound.

Command line:
  mirror.py --host NAME=PORT:ROOT [--host ...] [--control-port N]
  mirror.py --standard STUBDIR [--root DIR] [--ports P,S,D] [--control-port N]
  common:   [--tls CERT:KEY] [--log FILE] [--ready-file FILE] [--pid-file FILE]
            [--watch-stdin] [--verbose]

--standard builds the standard layout from the three stand-in files in STUBDIR
(hosts primary, secondary and dev on 18081, 18082 and 18083; control on 18080).
Port 0 takes any free port. When all ports are bound the server prints one line,
  mirror ready control=18080 primary=18081 secondary=18082 dev=18083
and writes --ready-file (JSON: pid, control, hosts) and --pid-file if given.
--tls makes every update host speak HTTPS with that certificate chain and key
(PEM files); the control port stays plain HTTP. A client that refuses the
certificate leaves no log entry.
--log appends one JSON line per finished request. --watch-stdin stops the server
when its standard input reaches end of file (the parent went away).

Faults (JSON object; every key optional; keys combine):
  status, reason      answer with this status code (any integer) and reason text
  location            Location header; a value starting with "/" is made absolute
                      on the host the client asked for
  headers             {name: value} added or replaced; a null value removes one
  body / body_b64     the body, as UTF-8 text or base64, instead of the file
  raw / raw_b64       bytes sent as the whole answer (no status line made), then close
                      (with close_mode "reset" too: an empty raw answer is a reset
                      before any answer)
  content_length      Content-Length text sent verbatim (e.g. "abc", "-5", 40 digits)
  no_content_length   true: no Content-Length header; the body ends at close
  close_after         close the connection after this many body bytes
  close_mode          "fin" (orderly close, the default) or "reset" (RST), for
                      close_after and raw
  stall_after         stop sending after this many body bytes ...
  stall_seconds       ... for this long (null: until the client goes away or the
                      server stops), then send the rest
  delay               seconds to wait before the status line
  silent              true: read the request and never answer ...
  silent_seconds      ... or answer nothing for this long and then close
  rate                bytes per second for the whole answer
  times               apply to the next N matching requests only

A fault is set for one host name or "*" (all hosts) and one path or "*" (all
paths); paths match the request path exactly, query excluded. When several
match, they are merged: ("*", "*") < (host, "*") < ("*", path) < (host, path),
the more specific winning key by key. Setting a fault for the same host and path
again replaces it.

Request log entries (one per request, visible while in flight):
  seq, time, end_time (seconds since the epoch), host, port, client_port,
  method, target (as sent), path, version, proxied (the target was in
  absolute form: the host is the URL's), headers ([name, value] pairs in the
  order sent), fault (merged fault applied, or null), status (null when none
  was sent), body_bytes (body bytes written; for a raw answer, all bytes),
  outcome:
    pending   the answer is still going on
    error     the mirror failed (a traceback is on its standard error)
    complete  the whole answer was written to the socket
    aborted   the client went away before the answer ended
    closed    the server cut the answer short (close_after, silent_seconds)
    stopped   the server stopped during the answer

Control API on the control port (JSON in and out):
  GET  /health                       {"ok", "pid", "control", "hosts": {name: {"port", "root"}}}
  GET  /faults                       [{"host", "path", "fault", "remaining"}]
  POST /faults       {"host", "path", "fault": {...}}     set (replaces)
  POST /faults/clear {"host"?, "path"?}                   clear matching (all if none)
  GET  /requests?host=H&path=P       log entries, oldest first
  POST /requests/clear               empty the log
  POST /proxy        {"credentials": "user:password" or null}
                                     as a proxy (a request in absolute form,
                                     "GET http://127.0.0.1:PORT/path", on any
                                     update host's port, answered as the host
                                     on PORT), demand these Basic credentials:
                                     without them 407 and Proxy-Authenticate
  POST /reset        {"files"?: bool} clear faults and log; files=true also
                                      rebuilds the standard layout's roots
  POST /shutdown                     answer, then stop
Errors come back as {"error": text} with status 400 or 404.
"""

import argparse
import base64
import json
import os
import select
import shutil
import signal
import socket
import ssl
import struct
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

LOOPBACK = "127.0.0.1"
STANDARD_HOSTS = ("primary", "secondary", "dev")
STANDARD_PORTS = (18081, 18082, 18083)
STANDARD_CONTROL_PORT = 18080
UPDATE_FILES = ("ZVUpdaterRes.dll", "ZVUpdater.exe", "ZVCallUpdater.exe")

# Where each stand-in file sits on each standard host: the executables in the
# product folder; the resource library in the edition folder, which the
# secondary host carries under both spellings the installer may ask for.
STANDARD_LAYOUT = {
    "primary": [("Zelvra/ZVUpdater.exe", "ZVUpdater.exe"),
                ("Zelvra/ZVCallUpdater.exe", "ZVCallUpdater.exe"),
                ("Zelvra-TTS-WUX/ZVUpdaterRes.dll", "ZVUpdaterRes.dll")],
    "secondary": [("Zelvra/ZVUpdater.exe", "ZVUpdater.exe"),
                  ("Zelvra/ZVCallUpdater.exe", "ZVCallUpdater.exe"),
                  ("Zelvra-TTS-WUX/ZVUpdaterRes.dll", "ZVUpdaterRes.dll"),
                  ("Zelvra-TTS_WUX/ZVUpdaterRes.dll", "ZVUpdaterRes.dll")],
    "dev": [("Zelvra/" + name, name) for name in UPDATE_FILES],
}

POLL_SECONDS = 0.05      # how often waits look at the client and the stop flag
CHUNK_BYTES = 64 * 1024  # largest single write without a rate limit
IDLE_SECONDS = 120       # an idle keep-alive connection is dropped after this

_NUMBER = (int, float)
FAULT_TYPES = {
    "status": int, "reason": str, "location": str, "headers": dict,
    "body": str, "body_b64": str, "raw": str, "raw_b64": str,
    "content_length": (int, str), "no_content_length": bool,
    "close_after": int, "close_mode": str,
    "stall_after": int, "stall_seconds": _NUMBER + (type(None),),
    "delay": _NUMBER, "silent": bool, "silent_seconds": _NUMBER + (type(None),),
    "rate": _NUMBER, "times": int,
}


class FaultError(ValueError):
    """A fault description that the mirror cannot apply."""


def validate_fault(fault):
    """Returns a checked copy of a fault description; raises FaultError."""
    if not isinstance(fault, dict):
        raise FaultError("fault must be an object")
    checked = {}
    for key, value in fault.items():
        if key not in FAULT_TYPES:
            raise FaultError("unknown fault key %r" % key)
        wanted = FAULT_TYPES[key]
        # bool is an int in Python; a flag is never a count and vice versa.
        is_bool = isinstance(value, bool)
        if not isinstance(value, wanted) or (is_bool and wanted is not bool):
            raise FaultError("fault key %r has a value of the wrong type" % key)
        checked[key] = value
    for key in ("close_after", "stall_after"):
        if checked.get(key, 0) < 0:
            raise FaultError("%s must not be negative" % key)
    if checked.get("times", 1) < 1:
        raise FaultError("times must be at least 1")
    for key in ("delay", "stall_seconds", "silent_seconds"):
        if (checked.get(key) or 0) < 0:
            raise FaultError("%s must not be negative" % key)
    if "rate" in checked and checked["rate"] <= 0:
        raise FaultError("rate must be positive")
    if checked.get("close_mode", "fin") not in ("fin", "reset"):
        raise FaultError("close_mode must be 'fin' or 'reset'")
    for key in ("body_b64", "raw_b64"):
        if key in checked:
            try:
                base64.b64decode(checked[key], validate=True)
            except ValueError:
                raise FaultError("%s is not valid base64" % key) from None
    for name, value in checked.get("headers", {}).items():
        if value is not None and not isinstance(value, str):
            raise FaultError("header %r must be text or null" % name)
    return checked


def fault_bytes(fault, key):
    """The bytes of a text or base64 fault field ("body" or "raw"), or None."""
    if key + "_b64" in fault:
        return base64.b64decode(fault[key + "_b64"])
    if key in fault:
        return fault[key].encode("utf-8")
    return None


class FaultTable:
    """Faults by (host, path); thread-safe."""

    def __init__(self):
        self._lock = threading.Lock()
        self._faults = {}  # (host, path) -> [fault, remaining or None]

    def set(self, host, path, fault):
        fault = validate_fault(fault)
        with self._lock:
            self._faults[(host, path)] = [fault, fault.get("times")]

    def clear(self, host=None, path=None):
        with self._lock:
            for key in list(self._faults):
                if host in (None, key[0]) and path in (None, key[1]):
                    del self._faults[key]

    def listing(self):
        with self._lock:
            return [{"host": h, "path": p, "fault": dict(f), "remaining": r}
                    for (h, p), (f, r) in self._faults.items()]

    def take(self, host, path):
        """Merges the faults that match one request and counts it against their
        "times"; returns None when nothing matches."""
        merged = None
        with self._lock:
            for key in (("*", "*"), (host, "*"), ("*", path), (host, path)):
                slot = self._faults.get(key)
                if slot is None:
                    continue
                merged = dict(merged or {}, **slot[0])
                if slot[1] is not None:
                    slot[1] -= 1
                    if slot[1] <= 0:
                        del self._faults[key]
        if merged is not None:
            merged.pop("times", None)
        return merged


class RequestLog:
    """Every request the update hosts received, in order; thread-safe."""

    def __init__(self, path=None):
        self._lock = threading.Lock()
        self._entries = []
        self._seq = 0
        self._file = open(path, "a", encoding="utf-8") if path else None

    def begin(self, **fields):
        with self._lock:
            self._seq += 1
            entry = dict(seq=self._seq, time=time.time(), end_time=None, status=None,
                         body_bytes=0, outcome="pending", **fields)
            self._entries.append(entry)
            return entry

    def finish(self, entry, outcome):
        with self._lock:
            entry["outcome"] = outcome
            entry["end_time"] = time.time()
            if self._file:
                self._file.write(json.dumps(entry) + "\n")
                self._file.flush()

    def update(self, entry, **fields):
        with self._lock:
            entry.update(fields)

    def snapshot(self, host=None, path=None):
        with self._lock:
            return [json.loads(json.dumps(e)) for e in self._entries
                    if host in (None, e["host"]) and path in (None, e["path"])]

    def clear(self):
        with self._lock:
            self._entries.clear()

    def close(self):
        with self._lock:
            if self._file:
                self._file.close()
                self._file = None


class ClientGone(Exception):
    """The client closed or reset the connection."""


class ServerStopping(Exception):
    """The mirror is shutting down."""


class ConnectionRegistry:
    """Open connections and their handler threads, so that a stop can wake
    every one of them (idle keep-alive ones included) and wait for them."""

    def __init__(self):
        self._lock = threading.Lock()
        self._open = {}

    def add(self, sock):
        with self._lock:
            self._open[sock] = threading.current_thread()

    def remove(self, sock):
        with self._lock:
            self._open.pop(sock, None)

    def close_all(self, timeout):
        with self._lock:
            items = list(self._open.items())
        for sock, _ in items:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        deadline = time.monotonic() + timeout
        for _, thread in items:
            thread.join(max(0.0, deadline - time.monotonic()))


class MirrorServer(ThreadingHTTPServer):
    """One listening port of the mirror: an update host or the control port."""

    daemon_threads = True
    block_on_close = False  # the mirror wakes and joins its handlers itself

    def __init__(self, mirror, port, handler, name=None, root=None):
        self.mirror = mirror
        self.host_name = name
        self.root = root
        super().__init__((LOOPBACK, port), handler)

    @property
    def port(self):
        return self.server_address[1]


class UpdateHostHandler(BaseHTTPRequestHandler):
    """Serves one update host's root folder, with the faults that match."""

    protocol_version = "HTTP/1.1"
    server_version = "ZelvraMirror/1.0"
    timeout = IDLE_SECONDS

    def setup(self):
        super().setup()
        self.server.mirror.connections.add(self.connection)
        self._reset_sent = False
        self._tls_refused = False
        if isinstance(self.connection, ssl.SSLSocket):
            # On this connection's own thread, so that a client that stalls
            # in the handshake holds up nobody else.
            try:
                self.connection.do_handshake()
            except (ssl.SSLError, OSError):
                self._tls_refused = True

    def handle(self):
        if not self._tls_refused:
            super().handle()

    def finish(self):
        self.server.mirror.connections.remove(self.connection)
        if not self._reset_sent:
            super().finish()

    def log_message(self, format, *args):
        if self.server.mirror.verbose:
            sys.stderr.write("mirror %s: %s\n" % (self.server.host_name, format % args))

    def do_GET(self):
        self._answer()

    do_HEAD = do_POST = do_PUT = do_DELETE = do_OPTIONS = do_GET

    # -- one request -------------------------------------------------------

    def _answer(self):
        mirror = self.server.mirror
        target = urlsplit(self.path)
        path = target.path or "/"
        # A request in absolute form ("GET http://host:port/path") comes from
        # a client that takes this port for its proxy: it is answered as the
        # host on the URL's port, behind the proxy's own demand for
        # credentials (see Mirror.proxy_credentials).
        self._host = self.server
        proxied = bool(target.scheme)
        if proxied:
            self._host = mirror.server_on_port(target.port) or self.server
        self._entry = mirror.log.begin(
            host=self._host.host_name, port=self._host.port,
            client_port=self.client_address[1], method=self.command,
            target=self.path, path=path, version=self.request_version, proxied=proxied,
            headers=[[k, v] for k, v in self.headers.items()], fault=None)
        if proxied and not mirror.proxy_admits(self.headers.get("Proxy-Authorization")):
            fault = {"status": 407, "headers": {"Proxy-Authenticate": 'Basic realm="Zelvra mirror"'}}
        else:
            fault = mirror.faults.take(self._host.host_name, path)
        mirror.log.update(self._entry, fault=fault)
        if self.command not in ("GET", "HEAD"):
            self.close_connection = True  # a request body is never read
        try:
            outcome = self._respond(path, fault or {})
        except ClientGone:
            outcome = "aborted"
            self.close_connection = True
        except ServerStopping:
            outcome = "stopped"
            self.close_connection = True
        except Exception:
            mirror.log.finish(self._entry, "error")
            raise
        mirror.log.finish(self._entry, outcome)

    def _respond(self, path, fault):
        if fault.get("delay"):
            self._wait(fault["delay"])
        if fault.get("silent"):
            self.close_connection = True
            self._wait(fault.get("silent_seconds"))
            return "closed"
        raw = fault_bytes(fault, "raw")
        if raw is not None:
            self.close_connection = True
            self._write(raw, fault.get("rate"))
            if fault.get("close_mode") == "reset":
                self._close("reset")
                return "closed"
            return "complete"

        status, body, content_type = self._choose_answer(path, fault)
        headers = self._headers(status, body, content_type, fault)
        try:
            self.send_response(status, fault.get("reason"))
            for name, value in headers:
                self.send_header(name, value)
            self.end_headers()
        except OSError:
            self._connection_lost()
        self.server.mirror.log.update(self._entry, status=status)
        if self.command == "HEAD" or status in (204, 304):
            return "complete"
        return self._send_body(body, fault)

    def _choose_answer(self, path, fault):
        """Status, body and content type: the fault's where it says so, else
        the file under the host's root, else 404."""
        local = self._local_file(path)
        status = fault.get("status")
        if status is None:
            if self.command not in ("GET", "HEAD"):
                status = 405
            else:
                status = 200 if local else 404
        body = fault_bytes(fault, "body")
        if body is not None:
            return status, body, "application/octet-stream"
        if local and status in (200, 203, 206) and self.command in ("GET", "HEAD"):
            with open(local, "rb") as f:
                return status, f.read(), "application/octet-stream"
        reason = fault.get("reason") or self.responses.get(status, ("",))[0]
        return status, ("%d %s\n" % (status, reason)).encode("utf-8"), "text/plain"

    def _local_file(self, path):
        """The file under the root that a request path names, or None; never
        anything outside the root."""
        parts = [p for p in unquote(path).split("/") if p]
        if any(p in (".", "..") or "\\" in p or "\0" in p for p in parts):
            return None
        local = os.path.join(self._host.root, *parts)
        return local if parts and os.path.isfile(local) else None

    def _headers(self, status, body, content_type, fault):
        headers = {"Content-Type": content_type, "Content-Length": str(len(body))}
        if status == 206 and body:
            headers["Content-Range"] = "bytes 0-%d/%d" % (len(body) - 1, len(body))
        if status == 405:
            headers["Allow"] = "GET, HEAD"
        location = fault.get("location")
        if location is not None:
            if location.startswith("/"):
                authority = self.headers.get("Host") or "%s:%d" % (LOOPBACK, self.server.port)
                location = "http://%s%s" % (authority, location)
            headers["Location"] = location
        if fault.get("no_content_length"):
            del headers["Content-Length"]
        if "content_length" in fault:
            headers["Content-Length"] = str(fault["content_length"])
        # Anything that leaves the body's end unclear ends the connection too.
        if any(k in fault for k in ("no_content_length", "content_length", "close_after")):
            self.close_connection = True
        if self.close_connection:
            headers["Connection"] = "close"
        for name, value in fault.get("headers", {}).items():
            for old in [h for h in headers if h.lower() == name.lower()]:
                del headers[old]
            if value is not None:
                headers[name] = value
        return list(headers.items())

    def _send_body(self, body, fault):
        """Writes the body, pausing at stall_after and cutting at close_after."""
        events = []
        if "stall_after" in fault:
            events.append((min(fault["stall_after"], len(body)), 0, "stall"))
        if "close_after" in fault and fault["close_after"] < len(body):
            events.append((fault["close_after"], 1, "close"))
        offset = 0
        for at, _, kind in sorted(events):
            self._write(body[offset:at], fault.get("rate"))
            offset = at
            if kind == "stall":
                self._wait(fault.get("stall_seconds"))
            else:
                self._close(fault.get("close_mode", "fin"))
                return "closed"
        self._write(body[offset:], fault.get("rate"))
        return "complete"

    # -- socket helpers ----------------------------------------------------

    def _write(self, data, rate=None):
        """Writes data, at most `rate` bytes per second when given."""
        stop = self.server.mirror.stop_event
        piece = max(1, int(rate * POLL_SECONDS)) if rate else CHUNK_BYTES
        start = time.monotonic()
        for sent in range(0, len(data), piece):
            if stop.is_set():
                raise ServerStopping()
            if rate:
                ahead = start + sent / rate - time.monotonic()
                if ahead > 0 and stop.wait(ahead):
                    raise ServerStopping()
            chunk = data[sent:sent + piece]
            try:
                self.wfile.write(chunk)
            except OSError:
                self._connection_lost()
            self.server.mirror.log.update(
                self._entry, body_bytes=self._entry["body_bytes"] + len(chunk))

    def _wait(self, seconds):
        """Waits `seconds` (None: for ever); raises ClientGone when the client
        closes the connection and ServerStopping when the mirror stops."""
        stop = self.server.mirror.stop_event
        deadline = None if seconds is None else time.monotonic() + seconds
        while True:
            left = POLL_SECONDS if deadline is None else deadline - time.monotonic()
            if left <= 0:
                return
            if stop.is_set():
                raise ServerStopping()
            if self._client_gone(min(left, POLL_SECONDS)):
                self._connection_lost()

    def _connection_lost(self):
        """The connection failed: because the mirror is stopping and shut it
        down, or because the client went away."""
        if self.server.mirror.stop_event.is_set():
            raise ServerStopping()
        raise ClientGone()

    def _client_gone(self, seconds):
        try:
            readable, _, _ = select.select([self.connection], [], [], seconds)
            if not readable:
                return False
            if self.connection.recv(1, socket.MSG_PEEK) == b"":
                return True
        except (OSError, ValueError):
            return True
        # The client sent more (a pipelined request): keep waiting, gently.
        self.server.mirror.stop_event.wait(seconds)
        return False

    def _close(self, mode):
        self.close_connection = True
        if mode == "reset":
            # Linger 0 makes close() send RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self._reset_sent = True
            self.rfile.close()
            self.connection.close()
        else:
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class ControlHandler(BaseHTTPRequestHandler):
    """The JSON control API."""

    protocol_version = "HTTP/1.1"
    server_version = "ZelvraMirrorControl/1.0"
    timeout = IDLE_SECONDS

    def setup(self):
        super().setup()
        self.server.mirror.connections.add(self.connection)

    def finish(self):
        self.server.mirror.connections.remove(self.connection)
        super().finish()

    def log_message(self, format, *args):
        if self.server.mirror.verbose:
            sys.stderr.write("mirror control: %s\n" % (format % args))

    def do_GET(self):
        self._dispatch()

    do_POST = do_GET

    def _dispatch(self):
        mirror = self.server.mirror
        url = urlsplit(self.path)
        query = {k: v[0] for k, v in parse_qs(url.query).items()}
        try:
            request = self._read_json()
            route = (self.command, url.path)
            if route == ("GET", "/health"):
                self._reply(200, mirror.describe())
            elif route == ("GET", "/faults"):
                self._reply(200, mirror.faults.listing())
            elif route == ("POST", "/faults"):
                for key in ("host", "path", "fault"):
                    if key not in request:
                        raise FaultError("missing %r" % key)
                mirror.check_host(request["host"], wildcard=True)
                mirror.faults.set(request["host"], request["path"], request["fault"])
                self._reply(200, {"ok": True})
            elif route == ("POST", "/faults/clear"):
                mirror.faults.clear(request.get("host"), request.get("path"))
                self._reply(200, {"ok": True})
            elif route == ("GET", "/requests"):
                self._reply(200, mirror.log.snapshot(query.get("host"), query.get("path")))
            elif route == ("POST", "/requests/clear"):
                mirror.log.clear()
                self._reply(200, {"ok": True})
            elif route == ("POST", "/proxy"):
                credentials = request.get("credentials")
                if credentials is not None and (not isinstance(credentials, str) or ":" not in credentials):
                    raise FaultError("credentials are \"user:password\" or null")
                mirror.proxy_credentials = credentials
                self._reply(200, {"ok": True})
            elif route == ("POST", "/reset"):
                mirror.reset(files=bool(request.get("files")))
                self._reply(200, {"ok": True})
            elif route == ("POST", "/shutdown"):
                self.close_connection = True
                self._reply(200, {"ok": True})
                mirror.stop_requested.set()
            else:
                self._reply(404, {"error": "no such control request: %s %s" % route})
        except (FaultError, ValueError) as error:
            self._reply(400, {"error": str(error)})

    def _read_json(self):
        length = int(self.headers.get("Content-Length") or 0)
        if length == 0:
            return {}
        value = json.loads(self.rfile.read(length).decode("utf-8"))
        if not isinstance(value, dict):
            raise ValueError("request body must be a JSON object")
        return value

    def _reply(self, status, value):
        data = json.dumps(value).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)


class Mirror:
    """The whole mirror: update hosts, control port, faults and log."""

    def __init__(self, hosts, control_port, log_path=None, verbose=False, stub_dir=None, tls=None):
        """hosts: [(name, port, root)]; stub_dir: set for the standard layout,
        whose roots `reset(files=True)` can rebuild; tls: (certificate file,
        key file) for HTTPS on the update hosts."""
        self.host_specs = list(hosts)
        self.tls = None
        if tls:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(*tls)
        self.control_port = control_port
        self.verbose = verbose
        self.stub_dir = stub_dir
        self.faults = FaultTable()
        self.log = RequestLog(log_path)
        self.proxy_credentials = None  # "user:password" a proxied request must carry
        self.connections = ConnectionRegistry()
        self.stop_event = threading.Event()
        self.stop_requested = threading.Event()
        self.servers = []
        self.control = None
        self._threads = []

    def start(self):
        """Binds every port (raises OSError naming the port that failed) and
        starts serving."""
        try:
            for name, port, root in self.host_specs:
                server = self._bind(port, UpdateHostHandler, name, os.path.abspath(root))
                if self.tls:
                    server.socket = self.tls.wrap_socket(server.socket, server_side=True,
                                                         do_handshake_on_connect=False)
                self.servers.append(server)
            self.control = self._bind(self.control_port, ControlHandler, "control")
        except OSError:
            self._close_servers()
            raise
        for server in self.servers + [self.control]:
            thread = threading.Thread(target=server.serve_forever, args=(POLL_SECONDS,),
                                      name="mirror-" + server.host_name, daemon=True)
            thread.start()
            self._threads.append(thread)

    def _bind(self, port, handler, name, root=None):
        try:
            return MirrorServer(self, port, handler, name, root)
        except OSError as error:
            raise OSError(error.errno, "cannot listen on %s:%d for %s: %s"
                          % (LOOPBACK, port, name, error.strerror)) from None

    def stop(self, timeout=3.0):
        """Ends every answer in progress and every connection, then closes the
        ports; returns within about `timeout` seconds even with stalled clients."""
        self.stop_event.set()
        for server in self.servers + [self.control]:
            if server:
                server.shutdown()
        self.connections.close_all(timeout)
        self._close_servers()
        self.log.close()

    def _close_servers(self):
        for server in self.servers + [self.control]:
            if server:
                server.server_close()

    def server_on_port(self, port):
        """The update host listening on `port`, or None."""
        return next((s for s in self.servers if s.port == port), None)

    def proxy_admits(self, authorization):
        """Whether a proxied request with this Proxy-Authorization header
        passes: always, unless credentials are demanded (POST /proxy)."""
        credentials = self.proxy_credentials
        if credentials is None:
            return True
        expected = "Basic " + base64.b64encode(credentials.encode("utf-8")).decode("ascii")
        return authorization == expected

    def check_host(self, name, wildcard=False):
        if not (wildcard and name == "*") and name not in [s.host_name for s in self.servers]:
            raise FaultError("no such host %r" % name)

    def reset(self, files=False):
        if files:
            if not self.stub_dir:
                raise FaultError("only the standard layout can rebuild its files")
            for name, _, root in self.host_specs:
                if name in STANDARD_LAYOUT:
                    build_standard_root(self.stub_dir, name, root, clean=True)
        self.faults.clear()
        self.log.clear()
        self.proxy_credentials = None

    def describe(self):
        return {"ok": True, "pid": os.getpid(), "control": self.control.port,
                "hosts": {s.host_name: {"port": s.port, "root": s.root} for s in self.servers}}

    def ready_line(self):
        return "mirror ready control=%d %s" % (
            self.control.port, " ".join("%s=%d" % (s.host_name, s.port) for s in self.servers))


def build_standard_root(stub_dir, host, root, clean=False):
    """Fills one standard host's root with copies of the stand-in files."""
    if clean and os.path.isdir(root):
        shutil.rmtree(root)
    for relative, stub in STANDARD_LAYOUT[host]:
        target = os.path.join(root, *relative.split("/"))
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(stub_dir, stub), target)


def parse_host(text):
    """NAME=PORT:ROOT -> (name, port, root)."""
    name, sep, rest = text.partition("=")
    port, sep2, root = rest.partition(":")
    if not (sep and sep2 and name and root and port.isdigit()):
        raise argparse.ArgumentTypeError("expected NAME=PORT:ROOT, got %r" % text)
    if not all(c.isalnum() or c in "-_" for c in name) or name == "*":
        raise argparse.ArgumentTypeError("host name %r: letters, digits, - and _ only" % name)
    return name, int(port), root


def parse_ports(text):
    ports = [p.strip() for p in text.split(",")]
    if len(ports) != len(STANDARD_HOSTS) or not all(p.isdigit() for p in ports):
        raise argparse.ArgumentTypeError("expected three ports PRIMARY,SECONDARY,DEV")
    return tuple(int(p) for p in ports)


def parse_tls(text):
    certificate, _, key = text.partition(":")
    if not (os.path.isfile(certificate) and os.path.isfile(key)):
        raise argparse.ArgumentTypeError("expected CERT:KEY, two PEM files; got %r" % text)
    return certificate, key


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Local update mirror with fault injection.")
    parser.add_argument("--host", action="append", type=parse_host, default=[], metavar="NAME=PORT:ROOT")
    parser.add_argument("--standard", metavar="STUBDIR",
                        help="serve the standard layout built from the stand-in files in STUBDIR")
    parser.add_argument("--root", metavar="DIR",
                        help="where --standard builds its roots (default: a temporary folder)")
    parser.add_argument("--ports", type=parse_ports, default=STANDARD_PORTS, metavar="P,S,D",
                        help="ports of the standard hosts (default 18081,18082,18083)")
    parser.add_argument("--control-port", type=int, default=STANDARD_CONTROL_PORT)
    parser.add_argument("--tls", type=parse_tls, metavar="CERT:KEY",
                        help="serve the update hosts over HTTPS with this certificate and key")
    parser.add_argument("--log", metavar="FILE", help="append one JSON line per finished request")
    parser.add_argument("--ready-file", metavar="FILE")
    parser.add_argument("--pid-file", metavar="FILE")
    parser.add_argument("--watch-stdin", action="store_true",
                        help="stop when standard input reaches end of file")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args(argv)
    if not args.standard and not args.host:
        parser.error("give --standard STUBDIR or at least one --host")
    if args.root and not args.standard:
        parser.error("--root goes with --standard")
    if args.standard:
        missing = [f for f in UPDATE_FILES if not os.path.isfile(os.path.join(args.standard, f))]
        if missing:
            parser.error("stand-in files missing from %s: %s" % (args.standard, ", ".join(missing)))
    names = [h[0] for h in args.host] + (list(STANDARD_HOSTS) if args.standard else [])
    if len(set(names)) != len(names):
        parser.error("host names must be unique")
    return args


def write_file_atomically(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, path)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    hosts = list(args.host)
    temporary_root = None
    if args.standard:
        root = args.root
        if not root:
            root = temporary_root = tempfile.mkdtemp(prefix="zelvra-mirror-")
        for name, port in zip(STANDARD_HOSTS, args.ports):
            build_standard_root(args.standard, name, os.path.join(root, name), clean=True)
            hosts.append((name, port, os.path.join(root, name)))
    for _, _, root in hosts:
        os.makedirs(root, exist_ok=True)

    mirror = Mirror(hosts, args.control_port, args.log, args.verbose,
                    stub_dir=os.path.abspath(args.standard) if args.standard else None, tls=args.tls)
    try:
        mirror.start()
    except OSError as error:
        print("mirror: %s" % error.strerror, file=sys.stderr)
        if temporary_root:
            shutil.rmtree(temporary_root, ignore_errors=True)
        return 2

    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: mirror.stop_requested.set())
    if args.watch_stdin:
        def watch():
            while sys.stdin.buffer.read1(4096):
                pass
            mirror.stop_requested.set()
        threading.Thread(target=watch, name="mirror-stdin", daemon=True).start()

    if args.ready_file:
        write_file_atomically(args.ready_file, json.dumps(mirror.describe()))
    if args.pid_file:
        write_file_atomically(args.pid_file, "%d\n" % os.getpid())
    print(mirror.ready_line(), flush=True)

    while not mirror.stop_requested.wait(0.5):
        pass
    mirror.stop()
    for path in (args.ready_file, args.pid_file):
        if path and os.path.exists(path):
            os.remove(path)
    if temporary_root:
        shutil.rmtree(temporary_root, ignore_errors=True)
    print("mirror stopped", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
