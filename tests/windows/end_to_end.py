#!/usr/bin/env python3
"""End-to-end tests of the Windows launcher: launcher.exe runs under wine (the
32-bit or the 64-bit build, as built) in a scratch folder, with the stand-in
java.exe first on wine's PATH, and the tests compare the exact bytes of its
standard output, its exit status and what the stand-in received. (wine
writes messages of its own to standard error; only the launcher's are looked
for there.)"""
import argparse
import os
import pathlib
import pty
import re
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from wine import Wine, add_arguments, windows_path  # noqa: E402

ENVIRONMENT_LINE = b"Set environment variable to 517093\r\n"
RUN_TIMEOUT_SECONDS = 120
CMD_LINE_LIMIT = 8191
COMMAND_NOT_FOUND = 9009
# An argument that a second parse by cmd.exe (a batch-file java) would end a
# quoted part with and run the rest of.
INJECTION = '+p=a" & echo PWNED>pwn.txt & "'

config = None  # the command line's settings, set by main()
wine = None


class Run:
    def __init__(self, completed, folder):
        self.status = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr or b""
        self.folder = folder
        self.record = None
        record = folder / "stand-in-record.txt"
        if record.exists():
            self.record = {"args": [], "ansi_args": []}
            for line in record.read_text().splitlines():
                key, value = line.split(" ", 1)
                if key == "arg":
                    self.record["args"].append(decode(value))
                elif key == "aarg":
                    self.record["ansi_args"].append(decode(value))
                elif key == "inherited":
                    self.record[key] = value
                elif key == "acp":
                    self.record[key] = int(value)
                elif value == "unset":
                    self.record[key] = None
                else:
                    self.record[key] = decode(value)

    def assert_status(self, test, expected):
        """The exit status is `expected`; when it is not, the message shows
        what the launcher and wine said on standard error."""
        test.assertEqual(self.status, expected,
                         f"standard error: {self.stderr[-2000:]!r}\n"
                         f"standard output: {(self.stdout or b'')[-500:]!r}")

    def shown_command(self, test):
        """The second start-up line, without its line end."""
        lines = self.stdout.split(b"\r\n", 2)
        test.assertEqual(len(lines), 3, self.stdout)
        return lines[1]

    def relayed(self, test):
        """Standard output after the two start-up lines."""
        lines = self.stdout.split(b"\r\n", 2)
        test.assertEqual(len(lines), 3, self.stdout)
        test.assertEqual(lines[0] + b"\r\n", ENVIRONMENT_LINE)
        return lines[2]


def decode(hex_text):
    """The stand-in's record holds UTF-8, in hex."""
    return bytes.fromhex(hex_text).decode("utf-8")


def run_on_console(arguments, extra, folder, console_output=False):
    """Runs the launcher with a console: wine makes one for a program whose
    standard input is a terminal. Standard error goes to the terminal too;
    standard output stays a pipe, for its exact bytes, unless
    `console_output`: then it is the console as well, and the terminal's
    bytes are returned as standard output."""
    terminal, program_side = pty.openpty()
    console = []
    # The console's screen updates must be read, or wine blocks on them.
    reader = threading.Thread(target=lambda: console.extend(iter(
        lambda: _read_or_empty(terminal), b"")), daemon=True)
    reader.start()
    try:
        process = wine.popen(config.launcher, list(arguments), extra_env=extra, cwd=folder,
                             stdin=program_side,
                             stdout=program_side if console_output else subprocess.PIPE,
                             stderr=program_side)
        os.close(program_side)
        stdout, _ = process.communicate(timeout=RUN_TIMEOUT_SECONDS)
        if console_output:
            reader.join(timeout=5)  # the rest of the screen, before the terminal goes
    finally:
        os.close(terminal)
        reader.join(timeout=5)
    if console_output:
        return subprocess.CompletedProcess(process.args, process.returncode, b"".join(console),
                                           b"")
    return subprocess.CompletedProcess(process.args, process.returncode, stdout,
                                       b"".join(console))


def _read_or_empty(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the terminal is gone
        return b""


def batch_file(java_dir=None):
    """A java.bat that runs the stand-in, as a runtime's batch wrapper does."""
    java = (java_dir or config.java_dir) / "java.exe"
    return f'@echo off\r\n"{windows_path(java)}" %*\r\n'.encode()


def prepare_run(settings=None, stand_in=None, java_on_path=True, batch=None, batch_text=None,
                environment=None):
    """A new scratch folder and the environment for a run in it. `stand_in`
    holds the STAND_IN_* settings of the stand-in java, without the
    prefix. `batch` puts a java.bat first in cmd.exe's search: in a folder
    first on PATH ("path") or in the server's folder ("folder"); it runs the
    stand-in unless `batch_text` says otherwise. `environment` holds further
    variables for the launcher."""
    folder = pathlib.Path(tempfile.mkdtemp(dir=config.scratch))
    if settings is not None:
        (folder / "server.properties").write_bytes(settings)
    for name in list(os.environ):
        if name.upper() in ("STEAMAPPID", "WINEPATH") or name.startswith("STAND_IN_"):
            del os.environ[name]
    extra = {f"STAND_IN_{key}": value for key, value in (stand_in or {}).items()}
    if java_on_path:
        extra["WINEPATH"] = windows_path(config.java_dir)
    text = batch_text or batch_file()
    if batch == "folder":
        (folder / "java.bat").write_bytes(text)
    elif batch == "path":
        batch_folder = pathlib.Path(tempfile.mkdtemp(dir=config.scratch))
        (batch_folder / "java.bat").write_bytes(text)
        extra["WINEPATH"] = windows_path(batch_folder) + ";" + windows_path(config.java_dir)
    extra.update(environment or {})
    return folder, extra


def run_launcher(arguments=(), settings=None, stand_in=None, java_on_path=True, stdout=None,
                 console=False, console_output=False, on=None, batch=None, batch_text=None,
                 environment=None):
    """Runs the launcher in a new scratch folder, under the wine prefix `on`
    (the suite's own without it)."""
    folder, extra = prepare_run(settings, stand_in, java_on_path, batch, batch_text, environment)
    if console:
        return Run(run_on_console(arguments, extra, folder, console_output), folder)
    completed = (on or wine).run(config.launcher, list(arguments), extra_env=extra, cwd=folder,
                                 stdout=subprocess.PIPE if stdout is None else stdout,
                                 stderr=subprocess.PIPE, timeout=RUN_TIMEOUT_SECONDS)
    return Run(completed, folder)


def run_through_panel(arguments, on=None, empty=None, batch=None):
    """Runs the launcher with `arguments` as given in UTF-16, lone surrogates
    too, which no Unix command line carries, and with the variable `empty`
    set to an empty value, which wine does not take from a Unix environment:
    the stand-in, playing a panel, starts it so."""
    folder, extra = prepare_run(batch=batch)
    extra["STAND_IN_UTF16_HEX"] = "1"
    if empty:
        extra["STAND_IN_EMPTY"] = empty
    hex_arguments = [subprocess.list2cmdline([argument]).encode("utf-16-le", "surrogatepass").hex()
                     for argument in arguments]
    # Each code unit in hex, high byte first.
    hex_arguments = ["".join(h[i + 2:i + 4] + h[i:i + 2] for i in range(0, len(h), 4))
                     for h in hex_arguments]
    completed = (on or wine).run(config.java_dir / "java.exe",
                                 ["--start-launcher", windows_path(config.launcher),
                                  *hex_arguments],
                                 extra_env=extra, cwd=folder, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, timeout=RUN_TIMEOUT_SECONDS)
    return Run(completed, folder)


def skip_under_emulation(test, reason):
    """Skips `test` when the 32-bit programs run under a user-mode emulator
    (the 32-bit build on a kernel that refuses 32-bit programs:
    scripts/test-windows.sh names the emulator in LAUNCHER_X86_EMULATOR) and
    `reason` says what of the test the emulator cannot carry. The 64-bit
    build still runs it."""
    emulator = os.environ.get("LAUNCHER_X86_EMULATOR")
    if config.arch == "win32" and emulator:
        test.skipTest(f"under {emulator}: {reason}")


def launcher_lines(run):
    """The launcher's own lines on standard error."""
    return [line for line in run.stderr.splitlines() if line.startswith(b"launcher: ")]


def assert_refused(test, run, *parts):
    """Nothing was started, and one line of the launcher's says why,
    holding each of `parts`."""
    run.assert_status(test, 1)
    test.assertIsNone(run.record, "the stand-in was started")
    messages = launcher_lines(run)
    test.assertEqual(len(messages), 1, run.stderr)
    for part in parts:
        test.assertIn(part.encode(), messages[0])


def command_line(memory, arguments=""):
    return f"java -Xmx{memory}m -jar server.jar {arguments}\r\n".encode()


class StartUp(unittest.TestCase):
    def test_without_settings_or_arguments(self):
        run = run_launcher()
        self.assertEqual(run.stdout, ENVIRONMENT_LINE + command_line(2048))
        run.assert_status(self, 0)
        self.assertEqual(run.record["args"], ["-Xmx2048m", "-jar", "server.jar"])
        self.assertEqual(run.record["SteamAppId"], "517093")

    def test_settings_file_and_server_arguments(self):
        run = run_launcher(["+port", "700", "-verbose", "+name=Alpha", "+slots"],
                           settings=b"motd=hello\r\nserver_memory = 512\r\n")
        self.assertEqual(run.stdout,
                         ENVIRONMENT_LINE + command_line(512, "+port=700 +name=Alpha +slots "))
        self.assertEqual(run.record["args"],
                         ["-Xmx512m", "-jar", "server.jar", "+port=700", "+name=Alpha", "+slots"])

    def test_version(self):
        run = run_launcher(["--version"])
        run.assert_status(self, 0)
        lines = run.stdout.split(b"\r\n")
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                               "VERSION"), "rb") as file:
            version = file.read().strip()
        self.assertEqual(lines[0], b"launcher " + version, run.stdout)
        self.assertTrue(lines[1].startswith(b"Copyright (c) "), run.stdout)
        self.assertTrue(lines[2].startswith(b"MIT License"), run.stdout)
        self.assertIsNone(run.record)

    def test_console_option_is_refused(self):
        run = run_launcher(["--console", "C:\\console", "+port", "1"])
        assert_refused(self, run, "'C:\\console'", "not part of the launcher for Windows")
        self.assertEqual(run.stdout, b"")

    def test_only_standard_handles_are_inherited(self):
        # A panel starts the launcher with an inheritable handle of its own
        # (the stand-in plays the panel): it must not reach the server.
        folder, extra = prepare_run()
        completed = wine.run(config.java_dir / "java.exe",
                             ["--start-launcher", windows_path(config.launcher), "+a=1"],
                             extra_env=extra, cwd=folder, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, timeout=RUN_TIMEOUT_SECONDS)
        run = Run(completed, folder)
        run.assert_status(self, 0)
        self.assertIsNotNone(run.record, run.stderr)
        self.assertEqual(run.record["inherited"], "no")


def assert_round_trip(test, arguments, on=None, batch=None, environment=None):
    """Each argument reaches the stand-in unchanged, on the wide command line
    and on the ANSI one that the Java runtime's launcher reads, and cmd.exe
    ran nothing of it; returns the run."""
    run = run_launcher(arguments, on=on, batch=batch, environment=environment)
    run.assert_status(test, 0)
    test.assertIsNotNone(run.record, run.stderr)
    test.assertEqual(run.record["args"][3:], arguments, "command line: " + run.record["line"])
    test.assertEqual(run.record["ansi_args"][3:], arguments,
                     "ANSI command line: " + run.record["aline"])
    # Anything cmd ran would have printed here or made a file.
    test.assertEqual(run.relayed(test), b"")
    test.assertEqual(sorted(path.name for path in run.folder.iterdir() if path.name != "java.bat"),
                     ["stand-in-record.txt"])
    return run


class Arguments(unittest.TestCase):
    """Each server argument reaches the runtime as one argument, unchanged,
    and cmd.exe runs, redirects and expands nothing of it."""

    def assert_round_trip(self, arguments):
        assert_round_trip(self, arguments)

    def test_special_characters(self):
        self.assert_round_trip([
            "+a=& echo pwned", "+b=x | echo pwned", "+c=<nul >made.txt", "+d=2>&1", "+e=(x)",
            "+f=^", "+g=a^^b", "+h=%PATH%", "+i=%SteamAppId%", "+j=%", "+k=%%", "+l=50%",
            "+m=%PATH:~0,3%", "+n=%CD%", "+o=!PATH!", '+p="', '+q=""', '+r="x" & echo "pwned"',
            "+s=a\\", "+t=a\\\\", '+u=a\\"b', "+v=\\\\server\\share\\", "+w=a\tb", "+x=a  b",
            "+y=*.txt?", '+z="^"&echo pwned', "+name=Alpha Base", "+path=C:\\Program Files\\x\\",
        ])

    def test_batch_file_runtime(self):
        # A java.bat hands its arguments (%*) to cmd.exe a second time.
        for batch in ("path", "folder"):
            with self.subTest(batch=batch):
                assert_round_trip(self, [
                    "+a=&echo x>pwned.txt&", "+f=^", "+g=(x) | more", "+h=a\\", "+port=7777",
                    "+list=1,2", "+n=a b", "+o=!PATH!"], batch=batch)
                # A double quote would end cmd's quotes there, a "%" be
                # expanded: refused.
                for arguments in (["+b=1", '+a="&echo x>pwned.txt&"'], ["+b=1", "+e=%PATH%x"]):
                    run = run_launcher(arguments, batch=batch)
                    assert_refused(self, run, "server argument 2", "java.bat")
                    self.assertFalse((run.folder / "pwned.txt").exists())

    def test_unsure_search_takes_java_for_a_batch_file(self):
        # Where cmd.exe's search cannot be followed for sure, java may be a
        # batch file: what its second parse would misread is refused. An
        # empty PATHEXT: cmd.exe takes its default list then, and runs a
        # java.bat of the server's folder.
        run = run_through_panel(["+b=1", INJECTION], empty="PATHEXT", batch="folder")
        assert_refused(self, run, "server argument 2", "java.BAT")
        self.assertFalse((run.folder / "pwn.txt").exists())
        run = run_through_panel(["+a=50%"], empty="PATHEXT")
        assert_refused(self, run, "server argument 1", "PATHEXT is empty")
        # NoDefaultCurrentDirectoryInExePath, which cmd.exe need not honour,
        # with a java.bat in the server's folder.
        setting = {"NoDefaultCurrentDirectoryInExePath": "1"}
        run = run_launcher(["+b=1", INJECTION], batch="folder", environment=setting)
        assert_refused(self, run, "server argument 2", "java.bat")
        self.assertFalse((run.folder / "pwn.txt").exists())
        # What a batch file passes on unchanged still starts; and without a
        # java in the server's folder the setting changes nothing.
        run = run_launcher(["+b=1", "+a=x & y"], batch="folder", environment=setting)
        run.assert_status(self, 0)
        self.assertEqual(run.record["args"][3:], ["+b=1", "+a=x & y"])
        assert_round_trip(self, ["+a=50%", '+b="x"'], environment=setting)

    def test_random_arguments(self):
        alphabet = 'ab \t\\"%^&|<>()!=;,*'
        generator = random.Random(20240611)
        for _ in range(2):
            self.assert_round_trip([
                f"+r{i}=" + "".join(generator.choice(alphabet)
                                    for _ in range(generator.randint(0, 12)))
                for i in range(25)])


class Output(unittest.TestCase):
    def test_bytes_are_relayed_with_crlf_line_ends(self):
        pieces = [
            b"plain line\n" b"dos line\r\n" b"progress 50%\r100%\n"
            b"ctrl-z \x1a after ctrl-z\n" b"nul \x00 after nul\n" + b"L" * 300 + b"\n"
            b"cr at the end of a piece\r",
            b"\nsecond piece\n\n" b"no line end",
            b"\nthird piece",
        ]
        run = run_launcher(stand_in={"OUTPUT": ".".join(piece.hex() for piece in pieces),
                                     "ERROR": b"to standard error\n".hex()})
        self.assertEqual(run.relayed(self),
                         b"plain line\r\n" b"dos line\r\n" b"progress 50%\r100%\r\n"
                         b"ctrl-z \x1a after ctrl-z\r\n" b"nul \x00 after nul\r\n"
                         + b"L" * 300 + b"\r\n"
                         b"cr at the end of a piece\r\n" b"second piece\r\n\r\n" b"no line end"
                         b"\r\nthird piece")
        self.assertNotIn(b"to standard error", run.stdout)
        self.assertIn(b"to standard error", run.stderr)
        run.assert_status(self, 0)

    def test_exit_status_is_the_servers(self):
        run = run_launcher(stand_in={"EXIT": "42", "OUTPUT": b"bye\n".hex()})
        run.assert_status(self, 42)
        self.assertEqual(run.relayed(self), b"bye\r\n")

    def test_closed_standard_output(self):
        # The server's output cannot be written: the launcher reports that
        # once and still reads the pipe to the end, so that the server can
        # write all of it (the stand-in exits with 99 when its writes fail),
        # and passes the server's status on.
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            run = run_launcher(stand_in={"FLOOD": str(4 << 20), "EXIT": "7"}, stdout=write_end)
        finally:
            os.close(write_end)
        run.assert_status(self, 7)
        self.assertEqual(run.stderr.count(b"launcher: cannot write to standard output"), 1,
                         run.stderr[-2000:])

    def test_ctrl_c_reaches_the_server_and_the_launcher_relays_on(self):
        # Ctrl-C goes to every process on the console. The server (the
        # stand-in) handles it and writes on; the launcher must outlive it
        # and relay what follows. (wine's cmd.exe ends with status 0 after a
        # Ctrl-C, whatever the server's status, so the status is not checked
        # here.)
        skip_under_emulation(self, "a 32-bit program with a console-control handler crashes "
                             "when Ctrl-C arrives (a trivial one too)")
        run = run_launcher(stand_in={"CTRL_C": "1", "EXIT": "5"}, console=True)
        self.assertEqual(run.relayed(self), b"ctrl-c handled\r\n",
                         f"status {run.status}, console: {run.stderr[-2000:]!r}")

    def test_runtime_not_found(self):
        # cmd.exe's status stays; the launcher says what is missing.
        run = run_launcher(java_on_path=False)
        self.assertTrue(run.stdout.startswith(ENVIRONMENT_LINE + command_line(2048)), run.stdout)
        # wine passes on the low 8 bits of a Windows exit code.
        run.assert_status(self, COMMAND_NOT_FOUND & 0xFF)
        self.assertIsNone(run.record)
        hints = launcher_lines(run)
        self.assertEqual(len(hints), 1, run.stderr)
        self.assertIn(b"launcher: the server did not start: java was not found on PATH"
                      b" (status 9009)", hints[0])
        self.assertIn(b"PATH", hints[0])

        # A server that ends with a status of its own gets no hint.
        run = run_launcher(stand_in={"EXIT": "3"})
        run.assert_status(self, 3)
        self.assertNotIn(b"launcher: ", run.stderr)
        # Nor one that ends with cmd.exe's status for "not found".
        run = run_launcher(stand_in={"EXIT": str(COMMAND_NOT_FOUND)})
        run.assert_status(self, COMMAND_NOT_FOUND & 0xFF)
        self.assertIsNotNone(run.record)
        self.assertNotIn(b"launcher: ", run.stderr)
        # Nor a batch-file java that ends so itself, in cmd.exe's process.
        run = run_launcher(batch="folder", batch_text=b"@exit /b 9009\r\n")
        run.assert_status(self, COMMAND_NOT_FOUND & 0xFF)
        self.assertNotIn(b"launcher: ", run.stderr)

    def test_launcher_ends_with_the_job(self):
        # The server leaves a process outside its job that keeps its output
        # open for 8 s: the launcher relays what the server wrote and ends
        # with it.
        # Timed to the launcher's end: under wine the holder also keeps the
        # launcher's Unix standard error, which the stand-in inherited.
        folder, extra = prepare_run(stand_in={"BREAKAWAY": "8", "EXIT": "4",
                                              "OUTPUT": b"server done\n".hex()})
        started = time.monotonic()
        process = wine.popen(config.launcher, [], extra_env=extra, cwd=folder,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        process.wait(timeout=RUN_TIMEOUT_SECONDS)
        elapsed = time.monotonic() - started
        stdout, stderr = process.communicate(timeout=RUN_TIMEOUT_SECONDS)
        run = Run(subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr),
                  folder)
        run.assert_status(self, 4)
        self.assertEqual(run.relayed(self), b"server done\r\n")
        self.assertLess(elapsed, 6.0)
        # A process of the job that outlives the server is relayed to its end.
        run = run_launcher(stand_in={"DESCENDANT": "2", "EXIT": "4"})
        run.assert_status(self, 4)
        self.assertEqual(run.relayed(self), b"holder ends\r\n")


# Characters beyond ASCII that the ANSI code page 1252 holds, each a server
# argument of its own and together with characters that cmd.exe and the
# runtime look at.
LATIN_ARGUMENTS = [
    "+motd=Caf\u00e9 \u00fcber \u00bd", "+name=Zo\u00eb", "+sign=\u00a9\u00ae\u20ac",
    "+mixed=\u00e9 & \u00fc|\u00df %PATH% \"\u00e9\" \u00bf\\",
]


class Unicode(unittest.TestCase):
    def test_arguments_arrive_exactly(self):
        run = assert_round_trip(self, LATIN_ARGUMENTS)
        self.assertEqual(run.record["acp"], 1252)

    def test_characters_the_code_page_lacks_are_refused(self):
        # Best fit would make U+FF02 a quote, U+FF3C and U+2216 backslashes,
        # U+3000 a blank; CJK and emoji would arrive as "?".
        for arguments, position, characters in [
                (["+name=Alpha\uff02 \uff02+admin=1"], 1, "U+FF02"),
                (["+port=7777", "+name=Alpha\uff3c", "+x=y z"], 2, "U+FF3C"),
                (["+a=b\u2216\u3000c\u2216"], 1, "U+2216 U+3000"),
                (["+name=\u65e5\u672c\u65e5", "+b=1"], 1, "U+65E5 U+672C"),
                (["+b=1", "+c", "2", "+icon=\U0001f600"], 3, "U+1F600")]:
            with self.subTest(arguments=arguments):
                assert_refused(self, run_launcher(arguments), f"server argument {position}",
                               f"({characters})", "code page 1252")

    def test_lone_surrogates_are_named_as_given(self):
        # A high surrogate followed by no low one is a character of its own.
        run = run_through_panel(["+b=1", "+a=\ud800x\udc00", "+c=\ud83d\ude00"])
        assert_refused(self, run, "server argument 2", "(U+D800 U+DC00)", "code page 1252")

    # Words that the launcher quotes only because of their letters beyond
    # ASCII, so that the shown line is known: ^"word^".
    SHOWN = ["+name=Zo\u00eb", "+city=K\u00f6ln", "+motd=Caf\u00e9"]

    def shown_line(self):
        return "java -Xmx2048m -jar server.jar " + "".join(f'^"{word}^" ' for word in self.SHOWN)

    def test_shown_command_in_the_ansi_code_page_on_a_pipe(self):
        # Standard output is a pipe: the line is in the ANSI code page, as
        # the runtime receives it.
        run = run_launcher(self.SHOWN)
        self.assertIsNotNone(run.record, run.stderr)
        self.assertEqual(run.record["args"][3:], self.SHOWN)
        code_page = f"cp{run.record['acp']}"
        self.assertEqual(run.shown_command(self),
                         self.shown_line().encode(code_page, errors="replace"))

    def test_shown_command_on_a_console(self):
        # A console is given the characters; wine's console passes them on
        # to the terminal in UTF-8.
        run = run_launcher(self.SHOWN, console=True, console_output=True)
        screen = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", run.stdout).decode("utf-8", "replace")
        self.assertIn(self.shown_line().rstrip(), screen)


class CodePagePrefix:
    """A wine prefix of its own whose ANSI code page is `CODE_PAGE`: wine
    takes it from the Unix locale `LOCALE`, made with localedef."""
    LOCALE = None
    CODE_PAGE = None

    @classmethod
    def setUpClass(cls):
        locales = pathlib.Path(config.prefix).parent / "locales"
        if not (locales / cls.LOCALE).is_dir():
            locales.mkdir(parents=True, exist_ok=True)
            # Exit status 1 only tells of warnings about the locale's sources.
            made = subprocess.run(["localedef", "-i", cls.LOCALE.split(".")[0], "-f", "UTF-8",
                                   "-c", str(locales / cls.LOCALE)],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if made.returncode not in (0, 1) or not (locales / cls.LOCALE).is_dir():
                raise RuntimeError(f"localedef failed: {made.stdout.decode(errors='replace')}")
        cls.wine = Wine(f"{config.prefix}-cp{cls.CODE_PAGE}", config.wine, config.wineserver,
                        locale={"LC_ALL": cls.LOCALE, "LOCPATH": str(locales)},
                        arch=config.arch)
        cls.wine.start()

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop()

    def assert_best_fit_refused(self, character):
        """`character` has a look-alike backslash in the code page, which
        would escape the closing quote and join the next argument."""
        run = run_launcher(["+a=x y" + character, "+b=1"], on=self.wine)
        assert_refused(self, run, "server argument 1", f"(U+{ord(character):04X})",
                       f"code page {self.CODE_PAGE}")


class CodePage932(CodePagePrefix, unittest.TestCase):
    """On a Japanese system (ANSI code page 932) the second byte of many
    characters is "|", "\\" or "^": none of them may split an escape, for
    cmd.exe in UTF-16 or for the runtime in the ANSI code page."""
    LOCALE = "ja_JP.UTF-8"
    CODE_PAGE = 932

    def test_yen_sign_is_refused(self):
        self.assert_best_fit_refused("\u00a5")

    def test_second_bytes_split_no_escape(self):
        arguments = ["+name=\u30dd mkdir PWNED", "+name=\u30dd echo INJECTED", "+a=\u30bd", "+b=x",
                     "+c=\u30bf & echo INJECTED", "+d=\u8868\"&echo INJECTED", "+e=\u5341|more",
                     "+f=%\u30dd%PATH%", "+g=\u30dd\u30bd\u30bf\u5f13\u4e88\u4e0e\u80fd"]
        run = assert_round_trip(self, arguments, on=self.wine)
        self.assertEqual(run.record["acp"], 932)

    def test_shown_command_in_code_page_932(self):
        run = run_launcher(["+name=\u30dd\u30bd\u30bf"], on=self.wine)
        self.assertEqual(run.record["acp"], 932)
        self.assertEqual(run.shown_command(self),
                         'java -Xmx2048m -jar server.jar ^"+name=\u30dd\u30bd\u30bf^" '.encode("cp932"))


class CodePage949(CodePagePrefix, unittest.TestCase):
    """On a Korean system (ANSI code page 949)."""
    LOCALE = "ko_KR.UTF-8"
    CODE_PAGE = 949

    def test_korean_arrives_and_won_sign_is_refused(self):
        run = assert_round_trip(self, ["+ko=\ud55c\uad6d\uc5b4 \uc11c\ubc84", "+b=\ud55c\"&|"],
                                on=self.wine)
        self.assertEqual(run.record["acp"], 949)
        self.assert_best_fit_refused("\u20a9")


class CodePage65001(CodePagePrefix, unittest.TestCase):
    """Where the ANSI code page is UTF-8 (wine takes it for a locale without
    an ANSI code page of its own, such as Hindi)."""
    LOCALE = "hi_IN.UTF-8"
    CODE_PAGE = 65001

    def test_every_character_arrives(self):
        run = assert_round_trip(self, ["+hi=\u0928\u092e\u0938\u094d\u0924\u0947",
                                       "+cjk=\u65e5\u672c \U0001f600", "+q=\uff02 \uff3c\""],
                                on=self.wine)
        self.assertEqual(run.record["acp"], 65001)

    def test_lone_surrogate_is_refused(self):
        # UTF-8 has no lone surrogate: the runtime would receive U+FFFD.
        run = run_through_panel(["+b=1", "+a=x\udc01y"], on=self.wine)
        assert_refused(self, run, "server argument 2", "(U+DC01)", "code page 65001")


class Wow64(unittest.TestCase):
    """The 32-bit launcher on 64-bit Windows (a win64 prefix) starts the
    native cmd.exe, whose search sees the native System32, not the
    32-bit one (SysWOW64) that a 32-bit program sees under that name: the
    launcher looks for java where that cmd.exe looks."""

    @classmethod
    def setUpClass(cls):
        if config.arch != "win32" or not config.wine64 or not config.java64_dir:
            raise unittest.SkipTest("only for the 32-bit launcher, with wine64 and a 64-bit "
                                    "stand-in java.exe")
        prefix = f"{config.prefix}-wow64"
        Wine(prefix, config.wine64, config.wineserver, arch="win64").start()
        # The 32-bit loader runs the 32-bit launcher in the 64-bit prefix.
        cls.wine = Wine(prefix, config.wine, config.wineserver, arch="win64")
        windows = pathlib.Path(prefix) / "drive_c" / "windows"
        cls.system32 = windows / "system32"
        cls.syswow64 = windows / "syswow64"
        cls.windows = windows

    @classmethod
    def tearDownClass(cls):
        cls.wine.stop()

    def setUp(self):
        # What an interrupted run left behind would be found first.
        for folder in (self.system32, self.syswow64, self.windows):
            for name in ("java.exe", "java.bat"):
                (folder / name).unlink(missing_ok=True)

    def place(self, folder, name, content):
        """A file in the prefix's Windows folders, for this test only."""
        path = folder / name
        path.write_bytes(content)
        self.addCleanup(path.unlink)

    def test_64_bit_java_in_the_native_system32_starts(self):
        # C:\windows, on PATH after System32, holds a java.bat that the
        # native cmd.exe never reaches: nothing is refused for its sake.
        self.place(self.system32, "java.exe", (config.java64_dir / "java.exe").read_bytes())
        self.place(self.windows, "java.bat", batch_file())
        arguments = ["+a=50%", '+b="quoted"', "+c=x & y", INJECTION]
        run = run_launcher(arguments, java_on_path=False, on=self.wine)
        run.assert_status(self, 0)
        self.assertIsNotNone(run.record, run.stderr)
        self.assertEqual(run.record["args"][3:], arguments)
        self.assertEqual(run.record["ansi_args"][3:], arguments)
        self.assertEqual(run.relayed(self), b"")
        self.assertFalse((run.folder / "pwn.txt").exists())

    def test_batch_java_that_only_the_native_cmd_sees(self):
        # In the native System32 alone; and behind a 32-bit java.exe in
        # SysWOW64, where 32-bit runtimes install one, that the native
        # cmd.exe does not see.
        for where in ("system32", "behind syswow64"):
            with self.subTest(where=where):
                if where == "system32":
                    self.place(self.system32, "java.bat", batch_file(config.java64_dir))
                else:
                    self.place(self.syswow64, "java.exe",
                               (config.java_dir / "java.exe").read_bytes())
                    self.place(self.windows, "java.bat", batch_file())
                run = run_launcher(["+b=1", INJECTION], java_on_path=False, on=self.wine)
                assert_refused(self, run, "server argument 2", "java.bat")
                self.assertFalse((run.folder / "pwn.txt").exists())
                self.doCleanups()


class LineLimit(unittest.TestCase):
    """cmd.exe takes a command of at most 8191 characters: the text in the
    quotes after /c, with the quotes."""

    @staticmethod
    def padded(length):
        # A plain argument is not quoted: its length is known.
        fixed = len("java -Xmx2048m -jar server.jar +pad= ") + 2
        return ["+pad=" + "x" * (length - fixed)]

    def test_longest_command_runs_and_one_more_is_refused(self):
        run = run_launcher(self.padded(CMD_LINE_LIMIT))
        run.assert_status(self, 0)
        self.assertIsNotNone(run.record, run.stderr)
        self.assertEqual(run.record["args"][3:], self.padded(CMD_LINE_LIMIT))

        run = run_launcher(self.padded(CMD_LINE_LIMIT + 1))
        self.assert_refused(run, CMD_LINE_LIMIT + 1)

    def test_quoting_counts(self):
        # Each "%" becomes 5 characters for cmd.exe (%^"^"), the word's
        # start 7 (^"+p=^"): 1,700 of them are too many.
        run = run_launcher(["+p=" + "%" * 1700])
        length = len('"java -Xmx2048m -jar server.jar ^"+p=^"') + 5 * 1700 + len(' "')
        self.assert_refused(run, length)

    def assert_refused(self, run, length):
        self.assertNotEqual(run.status, 0)
        self.assertIsNone(run.record, "the stand-in was started")
        messages = [line for line in run.stderr.splitlines() if line.startswith(b"launcher: ")]
        self.assertEqual(len(messages), 1, run.stderr)
        self.assertIn(str(CMD_LINE_LIMIT).encode(), messages[0])
        self.assertIn(str(length).encode(), messages[0])


class Kill(unittest.TestCase):
    def test_taskkill_on_the_launcher_ends_the_server(self):
        skip_under_emulation(self, "taskkill /IM does not find 32-bit processes (/PID does)")
        folder, extra = prepare_run(stand_in={"LINGER": "10"})
        alive = folder / "stand-in-alive.txt"
        process = wine.popen(config.launcher, ["+a=1"], extra_env=extra, cwd=folder,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while not alive.exists() and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertTrue(alive.exists(), "the stand-in did not start")
            killed = wine.run("taskkill", ["/F", "/IM", config.launcher.name],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
            # Timed from the kill itself, which is done when taskkill returns:
            # wine's start of taskkill alone took up to 2.5 s on a loaded
            # machine.
            asked_at = time.monotonic()
            self.assertEqual(killed.returncode, 0, killed.stdout + killed.stderr)
            # The stand-in writes the file every 0.1 s while it runs.
            last_seen, last_change = alive.read_bytes(), time.monotonic()
            while time.monotonic() < asked_at + 5:
                time.sleep(0.05)
                now = alive.read_bytes()
                if now != last_seen:
                    last_seen, last_change = now, time.monotonic()
            self.assertLess(last_change - asked_at, 2.0,
                            "the server still ran after the launcher was killed")
            process.wait(timeout=60)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()


def main():
    global config, wine
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_arguments(parser)
    parser.add_argument("--launcher", required=True, type=pathlib.Path)
    parser.add_argument("--java-dir", required=True, type=pathlib.Path,
                        help="folder of the stand-in java.exe")
    parser.add_argument("--scratch", required=True, type=pathlib.Path,
                        help="folder for the runs' scratch folders")
    parser.add_argument("--wine64", help="wine64, for a 64-bit prefix that runs the 32-bit "
                        "launcher under WOW64")
    parser.add_argument("--java64-dir", type=pathlib.Path,
                        help="folder of a 64-bit stand-in java.exe, for the WOW64 cases")
    config, rest = parser.parse_known_args()
    config.launcher = config.launcher.resolve()
    config.java_dir = config.java_dir.resolve()
    config.scratch = config.scratch.resolve()
    if config.java64_dir:
        config.java64_dir = config.java64_dir.resolve()
    # The scratch folders of the last run are kept until the next one, to
    # look into after a failure.
    shutil.rmtree(config.scratch, ignore_errors=True)
    config.scratch.mkdir(parents=True)
    wine = Wine(config.prefix, config.wine, config.wineserver, arch=config.arch)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
