"""tqf convert [OPTIONS] INPUT OUTPUT.tqf and tqf export [OPTIONS] SLIDE
OUTPUT.tiff: the converter tqf-convert (export is tqf-convert --export-tiff),
run with the arguments as given, its output and exit status passed on."""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from typing import Sequence

from ._common import Failure

COMMANDS = ("convert", "export")
_PACKAGE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The folder that holds the package: the build folder, beside tqf-convert.
_PACKAGE_PARENT = os.path.dirname(_PACKAGE)
# Where pip installs the program, with the package's private libraries.
_PACKAGED_CONVERTER = os.path.join(_PACKAGE, "_libs", "tqf-convert")


def converter_program() -> str:
    """tqf-convert: $TQF_CONVERT, beside the package in a build folder, inside
    it where pip installed it, or on PATH (where the Debian package installs
    it)."""
    candidates = [os.environ.get("TQF_CONVERT"), os.path.join(_PACKAGE_PARENT, "tqf-convert"),
                  _PACKAGED_CONVERTER, shutil.which("tqf-convert")]
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    raise Failure("cannot find the tqf-convert program (set TQF_CONVERT, or put it on PATH)")


def run_converter(command: str, arguments: Sequence[str]) -> int:
    try:
        program = converter_program()
    except Failure as e:
        print(f"tqf {command}: {e}", file=sys.stderr)
        return 1
    if command == "export":
        arguments = ["--export-tiff", *arguments]
    try:
        return subprocess.call([program, *arguments])
    except KeyboardInterrupt:
        return 130


def converter_main() -> int:
    """The console script tqf-convert that pip installs: runs the package's
    own program in place of this process, so its exit status and signals are
    the program's."""
    if not (os.path.isfile(_PACKAGED_CONVERTER) and os.access(_PACKAGED_CONVERTER, os.X_OK)):
        print(f"tqf-convert: the program is missing from the package ({_PACKAGED_CONVERTER}); reinstall tqfslide",
              file=sys.stderr)
        return 1
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execv(_PACKAGED_CONVERTER, ["tqf-convert", *sys.argv[1:]])
    except OSError as e:
        print(f"tqf-convert: {_PACKAGED_CONVERTER}: {e.strerror}", file=sys.stderr)
        return 126


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    # Run by run_converter with their arguments untouched; here for the help.
    commands.add_parser("convert", add_help=False, help="make a .tqf slide from another image (tqf-convert); "
                        "'tqf convert --help' for its options")
    commands.add_parser("export", add_help=False, help="write a slide as a tiled pyramidal TIFF "
                        "(tqf-convert --export-tiff)")
