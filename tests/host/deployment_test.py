"""The winget manifest template (docs/winget/) says what the program does:
its silent switches are the program's keywords, and its expected return
codes are the program's exit codes for a user's cancel and a copy already
running."""
import pathlib
import re
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The Windows constants app/exit_code.h names, as the platform defines them.
WINDOWS_CODES = {"ERROR_SUCCESS": 0, "ERROR_INSTALL_USEREXIT": 1602, "ERROR_INSTALL_FAILURE": 1603,
                 "ERROR_INSTALL_ALREADY_RUNNING": 1618}


def exit_codes():
    """{enumerator: number} of app/exit_code.h."""
    text = (ROOT / "app" / "exit_code.h").read_text(encoding="utf-8")
    return {name: WINDOWS_CODES[value] for name, value in re.findall(r"^\s*(kExit\w+)\s*=\s*(\w+)", text, re.M)}


def keywords():
    """The run-mode keywords of core/run_mode.cpp."""
    text = (ROOT / "core" / "run_mode.cpp").read_text(encoding="utf-8")
    return dict(re.findall(r'k(Silent|Passive)Keyword\[\]\s*=\s*u"([^"]*)"', text))


class WingetTemplateTest(unittest.TestCase):
    def setUp(self):
        self.text = (ROOT / "docs" / "winget" / "Zelvra.Installer.installer.yaml").read_text(encoding="utf-8")

    def test_switches_are_the_programs_keywords(self):
        switches = dict(re.findall(r'^\s+(Silent|SilentWithProgress):\s*"([^"]*)"', self.text, re.M))
        words = keywords()
        self.assertEqual(switches, {"Silent": words["Silent"], "SilentWithProgress": words["Passive"]})
        self.assertRegex(self.text, r"(?m)^InstallerType: exe$")
        self.assertRegex(self.text, r"(?m)^ElevationRequirement: elevatesSelf$")

    def test_return_codes_are_the_programs_exit_codes(self):
        codes = exit_codes()
        expected = {codes["kExitUserCancelled"]: "cancelledByUser", codes["kExitAnotherCopyRuns"]: "installInProgress"}
        listed = {int(code): response for code, response in
                  re.findall(r"InstallerReturnCode:\s*(\d+)\s*\n\s*ReturnResponse:\s*(\w+)", self.text)}
        self.assertEqual(listed, expected)
        self.assertEqual(codes["kExitLauncherStarted"], 0, "winget counts 0 as success")


if __name__ == "__main__":
    unittest.main()
