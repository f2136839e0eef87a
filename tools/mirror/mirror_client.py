"""Python client of the local update mirror (mirror.py), for tests and demos.

    from mirror_client import Mirror

    with Mirror.start_standard(stub_dir) as mirror:        # primary/secondary/dev
        mirror.set_fault("primary", "/Zelvra/ZVUpdater.exe", status=404)
        mirror.set_fault("secondary", "*", rate=20000)     # the whole host
        ...run the installer...
        [entry] = mirror.requests("primary", "/Zelvra/ZVUpdater.exe")
        assert entry["status"] == 404 and entry["outcome"] == "complete"

Starting and stopping (each returns a running Mirror; all wait until it is ready):
  Mirror.start_standard(stub_dir, root=None, ports=None, control_port=0,
                        log_file=None, timeout=10.0) -> Mirror
      Standard layout from the three stand-in files in stub_dir. ports: the
      (primary, secondary, dev) ports; by default taken from the environment
      variables ZELVRA_PRIMARY_HOST, ZELVRA_SECONDARY_HOST and ZELVRA_DEV_HOST
      when they read 127.0.0.1:PORT, else 18081, 18082, 18083. Port 0 = any.
  Mirror.start(hosts, control_port=0, log_file=None, timeout=10.0) -> Mirror
      hosts: {name: (port, root folder)}.
  Mirror.connect(control_port=18080) -> Mirror
      A mirror started elsewhere (stop() then asks it to shut down).
  mirror.stop(timeout=10.0); also on leaving a `with` block.
  A started mirror also stops when the process that started it ends.

Using it:
  mirror.port(host) -> int;  mirror.url(host, path) -> "http://127.0.0.1:PORT/path"
  mirror.root(host) -> str (the host's root folder)
  mirror.set_fault(host, path, **fault)   host or "*", path or "*"; the keys are
      those of mirror.py (status, location, content_length, close_after, ...).
      body= and raw= take bytes or str.
  mirror.clear_faults(host=None, path=None); mirror.faults() -> list
  mirror.requests(host=None, path=None) -> list of log entries (see mirror.py)
  mirror.wait_requests(count=1, host=None, path=None, timeout=10.0,
                       finished=True) -> list   (raises TimeoutError)
  mirror.reset_log(); mirror.reset(files=False)   (files=True: standard layout
      rebuilt from the stand-in files, undoing put_file/remove_file)
  mirror.put_file(host, path, data); mirror.remove_file(host, path)

A file that is named ZVCallUpdater.exe but cannot be run:
  mirror.put_file("primary", "/Zelvra/ZVCallUpdater.exe", UNRUNNABLE_PROGRAM)
"""

import base64
import json
import os
import select
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

MIRROR_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mirror.py")
STANDARD_PORTS = (18081, 18082, 18083)
STANDARD_CONTROL_PORT = 18080
HOST_VARIABLES = ("ZELVRA_PRIMARY_HOST", "ZELVRA_SECONDARY_HOST", "ZELVRA_DEV_HOST")

# Text, not a program: Windows refuses to start it under the name ZVCallUpdater.exe.
UNRUNNABLE_PROGRAM = b"This is not a Windows program.\r\n"


# The control port is on loopback: never through a proxy from the environment.
_DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


class MirrorError(RuntimeError):
    """The mirror did not start, or refused a control request."""


def standard_ports_from_environment():
    """The standard hosts' ports from ZELVRA_*_HOST ("127.0.0.1:PORT"), so
    that the mirror listens where the build under test looks."""
    ports = []
    for name, default in zip(HOST_VARIABLES, STANDARD_PORTS):
        value = os.environ.get(name, "")
        host, _, port = value.rpartition(":")
        ports.append(int(port) if host in ("127.0.0.1", "localhost") and port.isdigit() else default)
    return tuple(ports)


class Mirror:
    def __init__(self, control_port, process=None):
        self.control_port = control_port
        self._process = process
        self._drain = None
        self.hosts = self._call("GET", "/health")["hosts"]

    # -- starting and stopping ---------------------------------------------

    @classmethod
    def start_standard(cls, stub_dir, root=None, ports=None, control_port=0, log_file=None,
                       timeout=10.0, tls=None):
        """tls: (certificate file, key file) to serve the hosts over HTTPS."""
        ports = ports or standard_ports_from_environment()
        args = ["--standard", stub_dir, "--ports", ",".join(str(p) for p in ports)]
        if root:
            args += ["--root", root]
        if tls:
            args += ["--tls", "%s:%s" % tuple(tls)]
        return cls._spawn(args, control_port, log_file, timeout)

    @classmethod
    def start(cls, hosts, control_port=0, log_file=None, timeout=10.0):
        args = []
        for name, (port, root) in hosts.items():
            args += ["--host", "%s=%d:%s" % (name, port, root)]
        return cls._spawn(args, control_port, log_file, timeout)

    @classmethod
    def connect(cls, control_port=STANDARD_CONTROL_PORT):
        return cls(control_port)

    @classmethod
    def _spawn(cls, args, control_port, log_file, timeout):
        command = [sys.executable, MIRROR_SCRIPT, *args, "--control-port", str(control_port),
                   "--watch-stdin"]
        if log_file:
            command += ["--log", log_file]
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = _read_line(process.stdout, timeout)
        if not line.startswith("mirror ready "):
            process.kill()
            process.wait()
            raise MirrorError("mirror did not start (exit code %s): %r" % (process.returncode, line))
        fields = dict(f.split("=", 1) for f in line.split()[2:])
        # Keep reading stdout so that the mirror can never block on it.
        drain = threading.Thread(target=process.stdout.read, daemon=True)
        drain.start()
        mirror = cls(int(fields["control"]), process)
        mirror._drain = drain
        return mirror

    def stop(self, timeout=10.0):
        """Shuts the mirror down; returns its exit code when this client
        started it, else None."""
        try:
            self._call("POST", "/shutdown")
        except (MirrorError, OSError):
            pass
        if self._process is None:
            return None
        try:
            self._process.stdin.close()
            return self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
            raise MirrorError("mirror did not stop within %.0f s" % timeout) from None
        finally:
            self._drain.join(timeout)
            self._process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- hosts and files ---------------------------------------------------

    def port(self, host):
        return self._host(host)["port"]

    def root(self, host):
        return self._host(host)["root"]

    def url(self, host, path):
        return "http://127.0.0.1:%d%s" % (self.port(host), path)

    def put_file(self, host, path, data):
        """Writes data (bytes or str) at path under the host's root; a reader
        sees the old file or the new one, never half of it."""
        target = self._local(host, path)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        temporary = target + ".part"
        with open(temporary, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
        os.replace(temporary, target)

    def remove_file(self, host, path):
        os.remove(self._local(host, path))

    # -- faults and log ----------------------------------------------------

    def set_fault(self, host, path, **fault):
        for key in ("body", "raw"):
            if isinstance(fault.get(key), (bytes, bytearray)):
                fault[key + "_b64"] = base64.b64encode(fault.pop(key)).decode("ascii")
        self._call("POST", "/faults", {"host": host, "path": path, "fault": fault})

    def set_proxy_credentials(self, credentials):
        """Makes the mirror, as a proxy, demand Basic `credentials`
        ("user:password"); None admits every proxied request."""
        self._call("POST", "/proxy", {"credentials": credentials})

    def clear_faults(self, host=None, path=None):
        request = {k: v for k, v in (("host", host), ("path", path)) if v is not None}
        self._call("POST", "/faults/clear", request)

    def faults(self):
        return self._call("GET", "/faults")

    def requests(self, host=None, path=None):
        query = urllib.parse.urlencode({k: v for k, v in (("host", host), ("path", path))
                                        if v is not None})
        return self._call("GET", "/requests" + ("?" + query if query else ""))

    def wait_requests(self, count=1, host=None, path=None, timeout=10.0, finished=True):
        """Waits until at least `count` matching requests are logged (and, with
        finished, none of them is still pending); returns them."""
        deadline = time.monotonic() + timeout
        while True:
            entries = self.requests(host, path)
            if len(entries) >= count and not (finished and any(e["outcome"] == "pending"
                                                               for e in entries)):
                return entries
            if time.monotonic() > deadline:
                raise TimeoutError("%d of %d requests for %s %s after %.1f s: %r"
                                   % (len(entries), count, host, path, timeout, entries))
            time.sleep(0.05)

    def reset_log(self):
        self._call("POST", "/requests/clear")

    def reset(self, files=False):
        self._call("POST", "/reset", {"files": files})

    # -- plumbing ----------------------------------------------------------

    def _host(self, host):
        try:
            return self.hosts[host]
        except KeyError:
            raise MirrorError("no such host %r (have %s)" % (host, ", ".join(self.hosts))) from None

    def _local(self, host, path):
        parts = [p for p in path.split("/") if p]
        if not parts or any(p in (".", "..") for p in parts):
            raise MirrorError("bad file path %r" % path)
        return os.path.join(self.root(host), *parts)

    def _call(self, method, path, value=None):
        data = None if value is None else json.dumps(value).encode("utf-8")
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.control_port, path),
                                         data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with _DIRECT.open(request, timeout=10) as answer:
                return json.loads(answer.read())
        except urllib.error.HTTPError as error:
            raise MirrorError("%s %s: %s" % (method, path, error.read().decode("utf-8", "replace")))
        except urllib.error.URLError as error:
            raise MirrorError("mirror control port %d: %s" % (self.control_port, error.reason))


def _read_line(stream, timeout):
    """One line from a pipe, or what came before EOF or the timeout."""
    deadline = time.monotonic() + timeout
    data = b""
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            break
        chunk = os.read(stream.fileno(), 1)
        if not chunk:
            break
        data += chunk
    return data.decode("utf-8", "replace").strip()


def ports_of_build(build_dir):
    """The loopback ports that a build's three update hosts (primary,
    secondary, dev) point at, read from its CMakeCache.txt. Raises MirrorError
    when a host is not a port of the local mirror."""
    import pathlib
    import re
    cache = (pathlib.Path(build_dir) / "CMakeCache.txt").read_text(errors="replace")
    ports = []
    for name in ("ZELVRA_PRIMARY_HOST", "ZELVRA_SECONDARY_HOST", "ZELVRA_DEV_HOST"):
        match = re.search(r"^%s:STRING=(.*)$" % name, cache, re.M)
        host = match.group(1).strip() if match else ""
        found = re.fullmatch(r"(?:127\.0\.0\.1|localhost):(\d+)", host)
        if not found:
            raise MirrorError("%s of the build is %r, not a port of the local mirror" % (name, host))
        ports.append(int(found.group(1)))
    return ports
