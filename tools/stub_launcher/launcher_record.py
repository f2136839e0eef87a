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
