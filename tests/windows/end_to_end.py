#!/usr/bin/env python3
"""End-to-end tests of the Windows launcher: launcher.exe runs under wine64
in a scratch folder, with the stand-in java.exe first on wine's PATH, and
the tests compare the exact bytes of its standard output, its exit status
and what the stand-in received. (wine writes messages of its own to standard
error; only the launcher's are looked for there.)"""
import argparse
import os
import pathlib
import pty
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from wine import Wine, add_arguments, windows_path  # noqa: E402

ENVIRONMENT_LINE = b"Set environment variable to 517093\r\n"
RUN_TIMEOUT_SECONDS = 120

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
            self.record = {"args": []}
            for line in record.read_text().splitlines():
                key, value = line.split(" ", 1)
                if key == "arg":
                    self.record["args"].append(bytes.fromhex(value).decode("latin-1"))
                elif value == "unset":
                    self.record[key] = None
                else:
                    self.record[key] = bytes.fromhex(value).decode("latin-1")

    def relayed(self, test):
        """Standard output after the two start-up lines."""
        lines = self.stdout.split(b"\r\n", 2)
        test.assertEqual(len(lines), 3, self.stdout)
        test.assertEqual(lines[0] + b"\r\n", ENVIRONMENT_LINE)
        return lines[2]


def run_on_console(arguments, extra, folder):
    """Runs the launcher with a console: wine makes one for a program whose
    standard input is a terminal. Standard error goes to the terminal too;
    standard output stays a pipe, for its exact bytes."""
    terminal, program_side = pty.openpty()
    console = []
    # The console's screen updates must be read, or wine blocks on them.
    reader = threading.Thread(target=lambda: console.extend(iter(
        lambda: _read_or_empty(terminal), b"")), daemon=True)
    reader.start()
    try:
        process = wine.popen(config.launcher, list(arguments), extra_env=extra, cwd=folder,
                             stdin=program_side, stdout=subprocess.PIPE, stderr=program_side)
        os.close(program_side)
        stdout, _ = process.communicate(timeout=RUN_TIMEOUT_SECONDS)
    finally:
        os.close(terminal)
        reader.join(timeout=5)
    return subprocess.CompletedProcess(process.args, process.returncode, stdout,
                                       b"".join(console))


def _read_or_empty(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the terminal is gone
        return b""


def run_launcher(arguments=(), settings=None, stand_in=None, java_on_path=True, stdout=None,
                 console=False):
    """Runs the launcher in a new scratch folder. `stand_in` holds the
    STAND_IN_* settings of the stand-in java, without the prefix."""
    folder = pathlib.Path(tempfile.mkdtemp(dir=config.scratch))
    if settings is not None:
        (folder / "server.properties").write_bytes(settings)
    for name in list(os.environ):
        if name.upper() in ("STEAMAPPID", "WINEPATH") or name.startswith("STAND_IN_"):
            del os.environ[name]
    extra = {f"STAND_IN_{key}": value for key, value in (stand_in or {}).items()}
    if java_on_path:
        extra["WINEPATH"] = windows_path(config.java_dir)
    if console:
        return Run(run_on_console(arguments, extra, folder), folder)
    completed = wine.run(config.launcher, list(arguments), extra_env=extra, cwd=folder,
                         stdout=subprocess.PIPE if stdout is None else stdout,
                         stderr=subprocess.PIPE, timeout=RUN_TIMEOUT_SECONDS)
    return Run(completed, folder)


def command_line(memory, arguments=""):
    return f"java -Xmx{memory}m -jar server.jar {arguments}\r\n".encode()


class StartUp(unittest.TestCase):
    def test_without_settings_or_arguments(self):
        run = run_launcher()
        self.assertEqual(run.stdout, ENVIRONMENT_LINE + command_line(2048))
        self.assertEqual(run.status, 0)
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
        self.assertEqual((run.status, run.stdout), (0, b"launcher 1.0.0.0\r\n"))
        self.assertIsNone(run.record)


class Arguments(unittest.TestCase):
    """Each server argument reaches the runtime as one argument, unchanged,
    and cmd.exe runs, redirects and expands nothing of it."""

    def assert_round_trip(self, arguments):
        run = run_launcher(arguments)
        self.assertEqual(run.status, 0, run.stderr)
        self.assertIsNotNone(run.record, run.stderr)
        self.assertEqual(run.record["args"][3:], arguments,
                         "command line: " + run.record["line"])
        # Anything cmd ran would have printed here or made a file.
        self.assertEqual(run.relayed(self), b"")
        self.assertEqual(sorted(path.name for path in run.folder.iterdir()),
                         ["stand-in-record.txt"])

    def test_special_characters(self):
        self.assert_round_trip([
            "+a=& echo pwned", "+b=x | echo pwned", "+c=<nul >made.txt", "+d=2>&1", "+e=(x)",
            "+f=^", "+g=a^^b", "+h=%PATH%", "+i=%SteamAppId%", "+j=%", "+k=%%", "+l=50%",
            "+m=%PATH:~0,3%", "+n=%CD%", "+o=!PATH!", '+p="', '+q=""', '+r="x" & echo "pwned"',
            "+s=a\\", "+t=a\\\\", '+u=a\\"b', "+v=\\\\server\\share\\", "+w=a\tb", "+x=a  b",
            "+y=*.txt?", '+z="^"&echo pwned', "+name=Alpha Base", "+path=C:\\Program Files\\x\\",
        ])

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
        self.assertEqual(run.status, 0)

    def test_exit_status_is_the_servers(self):
        run = run_launcher(stand_in={"EXIT": "42", "OUTPUT": b"bye\n".hex()})
        self.assertEqual(run.status, 42)
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
        self.assertEqual(run.status, 7, run.stderr[-2000:])
        self.assertEqual(run.stderr.count(b"launcher: cannot write to standard output"), 1,
                         run.stderr[-2000:])

    def test_ctrl_c_reaches_the_server_and_the_launcher_relays_on(self):
        # Ctrl-C goes to every process on the console. The server (the
        # stand-in) handles it and writes on; the launcher must outlive it
        # and relay what follows. (wine's cmd.exe ends with status 0 after a
        # Ctrl-C, whatever the server's status, so the status is not checked
        # here.)
        run = run_launcher(stand_in={"CTRL_C": "1", "EXIT": "5"}, console=True)
        self.assertEqual(run.relayed(self), b"ctrl-c handled\r\n")

    def test_runtime_not_found(self):
        run = run_launcher(java_on_path=False)
        self.assertTrue(run.stdout.startswith(ENVIRONMENT_LINE + command_line(2048)), run.stdout)
        self.assertNotEqual(run.status, 0)
        self.assertIsNone(run.record)


def main():
    global config, wine
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_arguments(parser)
    parser.add_argument("--launcher", required=True, type=pathlib.Path)
    parser.add_argument("--java-dir", required=True, type=pathlib.Path,
                        help="folder of the stand-in java.exe")
    parser.add_argument("--scratch", required=True, type=pathlib.Path,
                        help="folder for the runs' scratch folders")
    config, rest = parser.parse_known_args()
    config.launcher = config.launcher.resolve()
    config.java_dir = config.java_dir.resolve()
    config.scratch = config.scratch.resolve()
    # The scratch folders of the last run are kept until the next one, to
    # look into after a failure.
    shutil.rmtree(config.scratch, ignore_errors=True)
    config.scratch.mkdir(parents=True)
    wine = Wine(config.prefix, config.wine, config.wineserver)
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
