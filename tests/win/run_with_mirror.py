#!/usr/bin/env python3
"""Runs a Windows test program under Wine against a fresh update mirror.

    run_with_mirror.py [--emulator WINE] [--locale LOCALE] -- PROGRAM [ARG...]

Starts tools/mirror on free loopback ports with two hosts, "primary" and
"secondary", each serving an empty temporary root, and holds one more loopback
port bound but not listening, so that a connection to it is refused. The
program learns them from its environment:

    ZELVRA_MIRROR_CONTROL_PORT       the mirror's JSON control port
    ZELVRA_MIRROR_PRIMARY_PORT       primary host's port
    ZELVRA_MIRROR_PRIMARY_ROOT       its root folder as a Windows path (Z:\\...)
    ZELVRA_MIRROR_SECONDARY_PORT / ZELVRA_MIRROR_SECONDARY_ROOT
    ZELVRA_MIRROR_CLOSED_PORT        the refusing port

The program runs under WINE (default /usr/lib/wine/wine64) with LC_ALL and
LANG set to LOCALE when given. The exit code is the program's; the mirror is
stopped and the roots removed afterwards, also when the program fails.
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "mirror"))

from mirror_client import Mirror  # noqa: E402

HOSTS = ("primary", "secondary")


def windows_path(path):
    """The path as a Wine program sees it through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def refusing_port():
    """A socket bound to a loopback port but not listening: connections to
    that port are refused while it is held."""
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    return sock


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--emulator", default="/usr/lib/wine/wine64")
    parser.add_argument("--locale", help="LC_ALL and LANG for the program, e.g. ko_KR.UTF-8")
    parser.add_argument("program", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    command = args.program[1:] if args.program[:1] == ["--"] else args.program
    if not command:
        parser.error("no program given")

    workdir = tempfile.mkdtemp(prefix="zelvra-worker-mirror-")
    closed = refusing_port()
    try:
        roots = {}
        for host in HOSTS:
            roots[host] = os.path.join(workdir, host)
            os.makedirs(roots[host])
        with Mirror.start({host: (0, roots[host]) for host in HOSTS}) as mirror:
            env = dict(os.environ)
            env["ZELVRA_MIRROR_CONTROL_PORT"] = str(mirror.control_port)
            env["ZELVRA_MIRROR_CLOSED_PORT"] = str(closed.getsockname()[1])
            for host in HOSTS:
                env["ZELVRA_MIRROR_%s_PORT" % host.upper()] = str(mirror.port(host))
                env["ZELVRA_MIRROR_%s_ROOT" % host.upper()] = windows_path(roots[host])
            if args.locale:
                env["LC_ALL"] = env["LANG"] = args.locale
            sys.stdout.flush()
            return subprocess.call([args.emulator] + command, env=env)
    finally:
        closed.close()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
