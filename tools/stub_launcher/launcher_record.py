"""Reads the record file that the launcher stand-in (ZVCallUpdater.exe)
writes: blocks of key=value lines, each ended by an empty line, with '%',
CR and LF escaped as %25, %0D and %0A."""
import urllib.parse


def parse_launcher_record(text):
    """The record's blocks, as dicts, in the order they were written."""
    blocks = []
    for chunk in text.split("\n\n"):
        lines = [line for line in chunk.split("\n") if line]
        if lines:
            blocks.append({key: urllib.parse.unquote(value)
                           for key, _, value in (line.partition("=") for line in lines)})
    return blocks


def launcher_environment(start):
    """The environment a start block records, as {NAME: value} with the names
    in upper case (Windows compares them without regard to case). A name may
    begin with '=' (the per-drive folders, "=C:=C:\\x")."""
    environment = {}
    for index in range(int(start.get("envc", 0))):
        entry = start["env%d" % index]
        name, _, value = entry[1:].partition("=")
        environment[(entry[:1] + name).upper()] = value
    return environment


# The launcher stand-in's settings file in a Wine prefix (C:\ZelvraStub\settings.ini):
# keys record, mutex_delay_ms, hold_ms, mutex_name (see call_updater_stub.c).
STUB_SETTINGS = ("drive_c", "ZelvraStub", "settings.ini")


def write_stub_settings(prefix, **settings):
    """Makes the stand-in's settings in the Wine prefix `prefix` (a Unix path)
    exactly `settings` (values as text; None leaves a key out); with none,
    removes the file, so that every default applies."""
    import pathlib
    path = pathlib.Path(prefix).joinpath(*STUB_SETTINGS)
    lines = ["%s=%s" % (key, value) for key, value in settings.items() if value is not None]
    if not lines:
        path.unlink(missing_ok=True)
        return
    path.parent.mkdir(parents=True, exist_ok=True)
    # UTF-16 with its byte-order mark: the profile functions read it as such.
    path.write_text("[launcher]\r\n" + "".join(line + "\r\n" for line in lines), encoding="utf-16")
