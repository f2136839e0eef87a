"""Python client of uidriver.exe, the UI driver of the end-to-end tests.

The driver runs under Wine in the same prefix as the program under test and
answers one JSON line per JSON request line (see README.md next to this file).
`Driver` starts it, sends requests and turns failures into exceptions that say
what was expected and what was seen. Every call has a time limit, so a test
never hangs on a driver that stopped answering.

Times in this API are seconds (floats); the driver itself speaks milliseconds.
Window handles and process ids are plain ints. Answers are `Record`s: dicts
whose keys can also be read as attributes (`box.title` or `box["title"]`).

The language of a program the driver starts is the driver's own: Wine gives a
child process the locale of its parent, whatever LC_ALL or LANG the child's
environment block says. Start a Driver per language (`language="ko"`).
"""

import json
import os
import queue
import re
import struct
import subprocess
import tempfile
import threading
import time

WINE = "/usr/lib/wine/wine64"

# Environment for each user-interface language; Wine derives the UI language
# and the ANSI code page from them (0x409/1252 and 0x412/949).
LANGUAGES = {
    "en": {"LC_ALL": "en_US.UTF-8", "LANG": "en_US.UTF-8"},
    "ko": {"LC_ALL": "ko_KR.UTF-8", "LANG": "ko_KR.UTF-8"},
}

# The C library's locale whose character set Wine takes as the ANSI code page.
CODE_PAGE_LOCALES = {1252: "en_US.UTF-8", 949: "ko_KR.UTF-8"}


def split_locale(language, code_page):
    """Environment for a user-interface language (a key of LANGUAGES) on
    another ANSI code page (a key of CODE_PAGE_LOCALES): LANG and LC_MESSAGES
    give the language, LC_CTYPE the code page, LC_ALL is removed. Needs both
    locales generated (tools/setup.sh does)."""
    ui = LANGUAGES[language]["LANG"]
    return {"LC_ALL": None, "LANG": ui, "LC_MESSAGES": ui, "LC_CTYPE": CODE_PAGE_LOCALES[code_page]}

# Standard dialog command IDs, as message-box buttons report them.
IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO = 1, 2, 3, 4, 5, 6, 7

# Seconds added to a command's own time limit before the client gives up on
# the driver (it may be slow to answer on a loaded machine).
ANSWER_MARGIN = 15.0


class DriverError(Exception):
    """Base of the driver's errors. `request` is what was sent (or None)."""

    def __init__(self, message, request=None, answer=None):
        super().__init__(message)
        self.request = request
        self.answer = answer


class CommandFailed(DriverError):
    """The driver answered {"ok": false}; the message carries its error."""


class DriverTimeout(DriverError):
    """No answer within the time limit; the driver has been stopped."""


class DriverDied(DriverError):
    """The driver process ended; the message carries its last error output."""


class Record(dict):
    """A JSON object whose keys read as attributes as well."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None


def _records(value):
    if isinstance(value, dict):
        return Record((key, _records(item)) for key, item in value.items())
    if isinstance(value, list):
        return [_records(item) for item in value]
    return value


def button_label(text):
    """A button text without its mnemonic: "&Yes" -> "Yes", "예(&Y)" -> "예"."""
    text = re.sub(r"\(&.\)$", "", text)
    return text.replace("&&", "\0").replace("&", "").replace("\0", "&")


def mul_div(number, numerator, denominator):
    """Win32 MulDiv: number * numerator / denominator, rounded half away from zero."""
    product = number * numerator
    quotient, remainder = divmod(abs(product), denominator)
    if 2 * remainder >= denominator:
        quotient += 1
    return quotient if (product >= 0) == (denominator > 0) else -quotient


def dlu_to_pixels(base_units, rect):
    """[x, y, w, h] in dialog units to pixels, as MapDialogRect does, with the
    base units a `controls` answer reports ({"x": ..., "y": ...})."""
    x, y, width, height = rect
    return [mul_div(x, base_units["x"], 4), mul_div(y, base_units["y"], 8),
            mul_div(width, base_units["x"], 4), mul_div(height, base_units["y"], 8)]


class IconImage:
    """One icon image: size and pixels as 0xAARRGGBB ints, row by row, top first."""

    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    def __repr__(self):
        return "IconImage(%dx%d)" % (self.width, self.height)


def x11_icon_images(x11_window, display=None):
    """The icon images Wine put into an X window's _NET_WM_ICON (what the
    program set with WM_SETICON), read with xprop. [] when there are none."""
    env = dict(os.environ)
    if display:
        env["DISPLAY"] = display
    result = subprocess.run(
        ["xprop", "-id", str(x11_window), "-notype", "-f", "_NET_WM_ICON", "32c", "_NET_WM_ICON"],
        capture_output=True, text=True, env=env, timeout=30)
    if result.returncode != 0 or "=" not in result.stdout:
        return []
    numbers = [int(value) for value in result.stdout.split("=", 1)[1].replace(",", " ").split()]
    images = []
    while len(numbers) >= 2:
        width, height = numbers[0], numbers[1]
        pixels = numbers[2:2 + width * height]
        if len(pixels) < width * height:
            break
        images.append(IconImage(width, height, pixels))
        numbers = numbers[2 + width * height:]
    return images


def ico_images(path):
    """The images of an .ico file, decoded to 0xAARRGGBB (opaque where the AND
    mask says so; 32-bit images keep their alpha). PNG-compressed images are
    returned with pixels None."""
    with open(path, "rb") as file:
        data = file.read()
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        raise ValueError("%s is not an icon file" % path)
    images = []
    for index in range(count):
        width, height, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * index)
        width, height = width or 256, height or 256
        blob = data[offset:offset + size]
        if blob[:8] == b"\x89PNG\r\n\x1a\n":
            images.append(IconImage(width, height, None))
            continue
        header_size, bmp_width, bmp_height, _, bits = struct.unpack_from("<IiiHH", blob, 0)
        colors_used = struct.unpack_from("<I", blob, 32)[0]
        height = bmp_height // 2
        palette_count = (colors_used or (1 << bits)) if bits <= 8 else 0
        palette = [struct.unpack_from("<BBBx", blob, header_size + 4 * i) for i in range(palette_count)]
        xor_offset = header_size + 4 * palette_count
        xor_stride = ((bmp_width * bits + 31) // 32) * 4
        and_offset = xor_offset + xor_stride * height
        and_stride = ((bmp_width + 31) // 32) * 4
        pixels = []
        for row in range(height):
            source_row = height - 1 - row  # bottom-up
            line = blob[xor_offset + source_row * xor_stride:]
            mask = blob[and_offset + source_row * and_stride:]
            for column in range(bmp_width):
                transparent = (mask[column // 8] >> (7 - column % 8)) & 1 if bits != 32 else 0
                if bits == 32:
                    b, g, r, a = line[4 * column:4 * column + 4]
                elif bits == 24:
                    b, g, r = line[3 * column:3 * column + 3]
                    a = 255
                elif bits == 8:
                    b, g, r = palette[line[column]]
                    a = 255
                elif bits == 4:
                    b, g, r = palette[(line[column // 2] >> (4 if column % 2 == 0 else 0)) & 0xF]
                    a = 255
                else:
                    raise ValueError("%d-bit icon images are not supported" % bits)
                if transparent:
                    a = 0
                pixels.append((a << 24) | (r << 16) | (g << 8) | b)
        images.append(IconImage(bmp_width, height, pixels))
    return images


def screenshot(path, display=None):
    """Saves a PNG of the whole X display (DISPLAY, or `display`) to `path`."""
    env = dict(os.environ)
    if display:
        env["DISPLAY"] = display
    if not env.get("DISPLAY"):
        raise DriverError("cannot take a screenshot: DISPLAY is not set")
    subprocess.run(["import", "-window", "root", str(path)], check=True, env=env, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return path


def _ms(seconds):
    return int(round(seconds * 1000))


class Driver:
    """One running uidriver.exe.

    exe: path of uidriver.exe (a Unix path). language: a key of LANGUAGES, or
    None for the caller's own environment. env: more environment variables
    for the driver (and so for the programs it starts); None removes one
    (see split_locale). The Wine variables
    (WINEPREFIX, DISPLAY, WINEDEBUG) are inherited.
    """

    def __init__(self, exe, language=None, env=None, wine=WINE, start_timeout=60.0):
        self.exe = str(exe)
        self.language = language
        environment = dict(os.environ)
        environment.setdefault("WINEDEBUG", "-all")
        if language is not None:
            environment.update(LANGUAGES[language])
        environment.update(env or {})
        environment = {key: value for key, value in environment.items() if value is not None}
        self._stderr = tempfile.TemporaryFile()
        self._answers = queue.Queue()
        self._seq = 0
        self._process = subprocess.Popen(
            [wine, self.exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr,
            env=environment)
        # The driver's answer stream is read by a thread so that every wait has
        # a time limit; Wine's helper processes may keep the pipe open after
        # the driver ends, so end of file is never waited for.
        self._reader = threading.Thread(target=self._read_answers, daemon=True)
        self._reader.start()
        started = time.monotonic()
        try:
            self.info = self.request("hello", timeout=start_timeout)
        except DriverError:
            self._stop()
            raise
        self.start_seconds = time.monotonic() - started
        self.pid = self.info.pid

    # --- plumbing -----------------------------------------------------------

    def _read_answers(self):
        stream = self._process.stdout
        for line in iter(stream.readline, b""):
            self._answers.put(line)
        self._answers.put(None)

    def stderr_text(self):
        """Everything the driver and the programs it started (which share its
        standard error under Wine) wrote to standard error so far."""
        return self._stderr_tail(limit=1 << 30)

    def _stderr_tail(self, limit=2000):
        try:
            self._stderr.seek(0, os.SEEK_END)
            size = self._stderr.tell()
            self._stderr.seek(max(0, size - limit))
            return self._stderr.read().decode("utf-8", "replace")
        except (OSError, ValueError):
            return ""

    def _stop(self):
        if self._process.poll() is None:
            self._process.kill()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass

    @property
    def alive(self):
        return self._process.poll() is None

    def request(self, cmd, timeout=None, **params):
        """Sends one request and returns its answer as a Record.

        timeout: seconds to wait for the answer; by default the request's own
        "timeout_ms" plus ANSWER_MARGIN. Raises CommandFailed when the driver
        answers {"ok": false}.
        """
        if not self.alive:
            raise DriverDied("uidriver has ended (exit code %s); its last output: %s"
                             % (self._process.returncode, self._stderr_tail()))
        self._seq += 1
        request = {"cmd": cmd, "seq": self._seq}
        request.update({key: value for key, value in params.items() if value is not None})
        if timeout is None:
            timeout = request.get("timeout_ms", 0) / 1000.0 + ANSWER_MARGIN
        try:
            self._process.stdin.write((json.dumps(request, ensure_ascii=False) + "\n").encode("utf-8"))
            self._process.stdin.flush()
        except OSError as error:
            raise DriverDied("cannot send %s to uidriver (%s); its last output: %s"
                             % (cmd, error, self._stderr_tail()), request) from error
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self._answers.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                self._stop()
                raise DriverTimeout("uidriver did not answer %s within %.1f s; it was stopped. Request: %s"
                                    % (cmd, timeout, json.dumps(request, ensure_ascii=False)), request) from None
            if line is None:
                self._process.wait(timeout=10)
                raise DriverDied("uidriver ended while answering %s (exit code %s); its last output: %s"
                                 % (cmd, self._process.returncode, self._stderr_tail()), request)
            answer = _records(json.loads(line.decode("utf-8")))
            if answer.get("seq") == self._seq:
                break
            # An answer to an earlier request: cannot happen while requests are
            # sequential, but must never be taken for this one's.
        if not answer.get("ok"):
            raise CommandFailed("%s failed: %s" % (cmd, answer.get("error", "(no error text)")), request, answer)
        return answer

    def close(self, kill_launched=True):
        """Ends the driver; by default first kills what it started."""
        if self.alive:
            try:
                self.request("quit", timeout=10.0, kill=kill_launched)
                self._process.wait(timeout=10)
            except (DriverError, subprocess.TimeoutExpired):
                pass
        self._stop()
        try:
            self._process.stdin.close()
        except OSError:
            pass
        # The answer stream is closed once its reader has seen its end. Wine
        # helper processes started by this driver can hold the pipe open; then
        # the stream stays open, as closing it would wait for the blocked read.
        self._reader.join(timeout=2)
        if not self._reader.is_alive():
            self._process.stdout.close()
        self._stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # --- processes ----------------------------------------------------------

    def launch(self, path, args="", command_line=None, cwd=None, env=None, stderr=None):
        """Starts a program (Windows path) and returns its Windows pid.

        The command line is the quoted path, a space and `args` verbatim (no
        space when args is empty), or `command_line` as given. cwd: Windows
        path of the working folder. env: variables to set (or remove, with
        None) in the program's environment; this does not change its
        language, see the module's notes. stderr: Windows path of a file,
        made anew, given to the program as its standard error handle."""
        return self.request("launch", path=path, args=args or None, command_line=command_line,
                            cwd=cwd, env=env, stderr=stderr).pid

    def attach(self, pid):
        """Takes a running process so that wait_exit and kill work on it."""
        return self.request("attach", pid=pid)

    def processes(self, parent=None):
        """Every process of the prefix: pid, parent, exe (file name)."""
        found = self.request("processes").processes
        return [p for p in found if parent is None or p.parent == parent]

    def wait_exit(self, pid, timeout=10.0):
        """Waits for the process to end; returns its exit code."""
        return self.request("wait_exit", pid=pid, timeout_ms=_ms(timeout)).exit_code

    def kill(self, pid, tree=True, exit_code=1):
        """Terminates the process (and its descendants); returns the pids killed."""
        return self.request("kill", pid=pid, tree=tree, exit_code=exit_code).killed

    def kill_launched(self):
        return self.request("kill_launched").killed

    # --- windows ------------------------------------------------------------

    def windows(self, pid, visible_only=False):
        """Top-level windows of the process, of all its threads, top first."""
        return self.request("windows", pid=pid, visible_only=visible_only).windows

    def window(self, hwnd):
        return self.request("window", hwnd=hwnd).window

    def wait_window(self, pid, title=None, title_contains=None, cls=None, owner=None, timeout=10.0,
                    visible=True, exclude=()):
        """Waits for a top-level window of the process matching every given
        condition (owner 0 means: no owner); returns it."""
        return self.request("wait_window", pid=pid, title=title, title_contains=title_contains,
                            **{"class": cls}, owner=owner, visible=visible, exclude=list(exclude) or None,
                            timeout_ms=_ms(timeout)).window

    def wait_gone(self, hwnd, timeout=10.0, hidden_ok=False):
        """Waits until the window is destroyed (or, with hidden_ok, hidden)."""
        self.request("wait_gone", hwnd=hwnd, hidden_ok=hidden_ok, timeout_ms=_ms(timeout))

    def controls(self, hwnd):
        """The window's child controls in z-order (a dialog's template order)
        with the dialog's default button, focus and base units."""
        return self.request("controls", hwnd=hwnd)

    def control(self, hwnd, control_id):
        """One control of `controls`, by ID."""
        answer = self.controls(hwnd)
        for control in answer.controls:
            if control.id == control_id:
                return control
        raise CommandFailed("expected a control %d in window %#x; seen IDs %s"
                            % (control_id, hwnd, [c.id for c in answer.controls]))

    def texts(self, hwnd):
        """{control ID: text} of the window's controls."""
        return {control.id: control.text for control in self.controls(hwnd).controls}

    def icons(self, hwnd):
        """What the driver can learn about the window's icons from outside;
        under Wine only `x11_window` is useful (see window_icon_images)."""
        return self.request("icons", hwnd=hwnd)

    def window_icon_images(self, hwnd):
        """The window's icon images as the X server has them (Wine copies the
        icons set with WM_SETICON into _NET_WM_ICON). [] without X window."""
        x11_window = self.icons(hwnd).x11_window
        return x11_icon_images(x11_window) if x11_window else []

    # --- input --------------------------------------------------------------

    def click(self, hwnd, control_id=None, how="bm_click", force=False):
        """Clicks a button: `hwnd` itself, or its child `control_id`. Posted,
        so it returns before the click's handler runs. how: "bm_click" (the
        button presses itself, as for a mouse click) or "command" (WM_COMMAND
        BN_CLICKED to the parent). Refused for a hidden or disabled button or
        when its window is disabled, unless force."""
        self.request("click", hwnd=hwnd, id=control_id, how=how, force=force)

    def set_text(self, hwnd, control_id, text, force=False):
        """Sets the text of control `control_id` of `hwnd` (an edit field's
        contents, as typed)."""
        return self.request("set_text", hwnd=hwnd, id=control_id, text=text, force=force)

    def key(self, hwnd, key, how="post", force=False):
        """Presses and releases a key ("escape", "enter", "tab", "space",
        arrows, "f1") in the window. how: "post" (to the focused control, as
        the dialog's message loop would receive it) or "input" (SendInput
        after bringing the window to the foreground)."""
        return self.request("key", hwnd=hwnd, key=key, how=how, force=force)

    def command(self, hwnd, command_id):
        """Posts WM_COMMAND with `command_id` to the window, as another
        program can, whether or not a control of that id exists."""
        self.request("command", hwnd=hwnd, id=command_id)

    def trust_root(self, path, remove=False):
        """Adds a certificate (a DER file) to the machine's trusted roots of
        the Wine prefix, or takes it out again."""
        self.request("trust_root", path=path, remove=remove)

    def close_window(self, hwnd, how="close_box", force=False):
        """Closes a window: "close_box" posts WM_SYSCOMMAND SC_CLOSE, as the
        caption's close button does; "wm_close" posts WM_CLOSE."""
        self.request("close", hwnd=hwnd, how=how, force=force)

    # --- message boxes and progress bars ---------------------------------------

    def message_box(self, pid, owner=None, title=None, timeout=10.0, exclude=()):
        """Waits for a visible message box of the process (owned by `owner`
        if given; 0 means no owner) and returns it: hwnd, title, text,
        buttons [{id, text}] left to right, default_id, icon, owner,
        owner_title, tid."""
        return self.request("message_box", pid=pid, owner=owner, title=title,
                            exclude=list(exclude) or None, timeout_ms=_ms(timeout)).box

    def message_boxes(self, pid):
        """Every visible message box of the process, now."""
        return self.request("message_boxes", pid=pid).boxes

    def answer(self, box, button, timeout=10.0):
        """Clicks a message box's button, given by ID or by its label (without
        mnemonic), and waits until the box is gone."""
        if isinstance(button, str):
            matches = [b.id for b in box.buttons if button_label(b.text) == button]
            if len(matches) != 1:
                raise CommandFailed("expected one button %r in message box %r; seen %s"
                                    % (button, box.title, [b.text for b in box.buttons]))
            button = matches[0]
        self.click(box.hwnd, button)
        self.wait_gone(box.hwnd, timeout=timeout)

    def progress(self, hwnd, control_id=None):
        """A progress bar's low, high and pos (the bar itself, or the child
        `control_id` of hwnd)."""
        return self.request("progress", hwnd=hwnd, id=control_id)
