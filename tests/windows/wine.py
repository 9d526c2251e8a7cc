#!/usr/bin/env python3
"""Runs Windows programs of the tests under wine (wine64, or the 32-bit loader
for a 32-bit build), in a wine prefix of the build's own, so that the tests
need nothing of the user's wine set-up.

    wine.py --prefix DIR start          create the prefix, keep a wine server up
    wine.py --prefix DIR stop           end that wine server
    wine.py --prefix DIR run EXE ARG... run EXE, exit with its status
"""
import argparse
import os
import pathlib
import shutil
import subprocess
import sys

DEFAULT_WINE = "/usr/lib/wine/wine64"
DEFAULT_WINESERVER = "/usr/lib/wine/wineserver"

# The wine server lingers this long after its last program ends, so that
# the programs of one test run share it instead of each starting one: the
# first program of a new server also starts wine's own services, which keep
# that program's standard output open until the server ends, so that a test
# reading it would wait as long. Long enough for the other prefixes' classes
# to run in between under qemu-i386; the stop fixture ends it.
SERVER_LINGER_SECONDS = 600

# wineboot makes a prefix in 5 to 20 s, natively or under qemu-i386.
WINEBOOT_TIMEOUT_SECONDS = 150
WINEBOOT_ATTEMPTS = 3


class Wine:
    def __init__(self, prefix, wine=DEFAULT_WINE, wineserver=DEFAULT_WINESERVER, locale=None,
                 arch="win64"):
        """`locale` holds the Unix locale settings (LC_ALL, LOCPATH) that
        the prefix's programs run with, from which wine takes the Windows
        code pages; without it, C.UTF-8. `arch` is the prefix's kind:
        win64, or win32 for a 32-bit Windows of the 32-bit loader alone."""
        self.prefix = pathlib.Path(prefix).resolve()
        self.wine = wine
        self.wineserver = wineserver
        self.locale = locale or {"LC_ALL": "C.UTF-8"}
        self.arch = arch

    def environment(self, extra=None):
        """The environment for a wine program: this prefix and locale, no
        debug messages, no downloads of optional components, no display."""
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        env.update(WINEPREFIX=str(self.prefix), WINEARCH=self.arch, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        env.update(self.locale)
        env.update(extra or {})
        return env

    def ensure_server(self):
        """Starts the prefix's wine server unless it runs. A server that a
        wine program started itself would inherit that program's standard
        output and error and keep them open long after the program ended, so
        that whoever reads them (the test, ctest) would wait for it."""
        subprocess.run([self.wineserver, f"-p{SERVER_LINGER_SECONDS}"], env=self.environment(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)

    def start(self):
        """Creates or updates the prefix. Under qemu-i386 one of wineboot's
        processes now and then crashes and wineboot waits for it for ever:
        then the prefix's processes are ended, and it is made anew."""
        for attempt in range(1, WINEBOOT_ATTEMPTS + 1):
            self.prefix.mkdir(parents=True, exist_ok=True)
            self.ensure_server()
            try:
                subprocess.run([self.wine, "wineboot", "--init"], env=self.environment(),
                               check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=WINEBOOT_TIMEOUT_SECONDS)
                return
            except subprocess.TimeoutExpired:
                print(f"wine.py: wineboot in {self.prefix} did not end within "
                      f"{WINEBOOT_TIMEOUT_SECONDS} s (attempt {attempt} of "
                      f"{WINEBOOT_ATTEMPTS})", file=sys.stderr, flush=True)
                self.stop()
                shutil.rmtree(self.prefix)
        raise RuntimeError(f"wineboot in {self.prefix} did not end")

    def stop(self):
        subprocess.run([self.wineserver, "-k"], env=self.environment(), check=False)

    def run(self, program, arguments, extra_env=None, **options):
        """subprocess.run of `program` (a Unix path) under wine."""
        self.ensure_server()
        return subprocess.run([self.wine, str(program), *arguments],
                              env=self.environment(extra_env), **options)

    def popen(self, program, arguments, extra_env=None, **options):
        """subprocess.Popen of `program` (a Unix path) under wine."""
        self.ensure_server()
        return subprocess.Popen([self.wine, str(program), *arguments],
                                env=self.environment(extra_env), **options)


def windows_path(path):
    """The Windows path of a Unix path, through wine's drive Z:, which maps
    the Unix root."""
    return "Z:" + str(pathlib.Path(path).resolve()).replace("/", "\\")


def add_arguments(parser):
    parser.add_argument("--prefix", required=True, help="wine prefix folder")
    parser.add_argument("--wine", default=DEFAULT_WINE)
    parser.add_argument("--wineserver", default=DEFAULT_WINESERVER)
    parser.add_argument("--arch", choices=["win32", "win64"], default="win64",
                        help="the prefix's kind: win32 for the 32-bit loader alone")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_arguments(parser)
    parser.add_argument("action", choices=["start", "stop", "run"])
    parser.add_argument("program", nargs="?")
    parser.add_argument("arguments", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    wine = Wine(options.prefix, options.wine, options.wineserver, arch=options.arch)
    if options.action == "start":
        wine.start()
    elif options.action == "stop":
        wine.stop()
    else:
        if not options.program:
            parser.error("run needs a program")
        status = wine.run(options.program, options.arguments).returncode
        if status != 0:
            # A program that crashes loses what it had buffered for a pipe,
            # and wine's own messages are off: run it once more with them,
            # for the log. The status stays the first run's.
            print(f"wine.py: {options.program} ended with status {status}; once more, with "
                  "wine's error messages:", file=sys.stderr, flush=True)
            again = wine.run(options.program, options.arguments,
                             extra_env={"WINEDEBUG": "err+all,+seh"})
            print(f"wine.py: the second run ended with status {again.returncode}",
                  file=sys.stderr)
        sys.exit(status)


if __name__ == "__main__":
    main()
