"""tqf convert [OPTIONS] INPUT OUTPUT.tqf and tqf export [OPTIONS] SLIDE
OUTPUT.tiff: the converter tqf-convert (export is tqf-convert --export-tiff),
run with the arguments as given, its output and exit status passed on."""

import os
import shutil
import subprocess
import sys

from ._common import Failure

COMMANDS = ("convert", "export")
# The folder that holds the package: the build folder, beside tqf-convert.
_PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def converter_program():
    """tqf-convert: $TQF_CONVERT, beside the package in a build folder, or on
    PATH (where the package installs it)."""
    candidates = [os.environ.get("TQF_CONVERT"), os.path.join(_PACKAGE_PARENT, "tqf-convert"),
                  shutil.which("tqf-convert")]
    for candidate in candidates:
        if candidate and os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    raise Failure("cannot find the tqf-convert program (set TQF_CONVERT, or put it on PATH)")


def run_converter(command, arguments):
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


def add_parser(commands):
    # Run by run_converter with their arguments untouched; here for the help.
    commands.add_parser("convert", add_help=False, help="make a .tqf slide from another image (tqf-convert); "
                        "'tqf convert --help' for its options")
    commands.add_parser("export", add_help=False, help="write a slide as a tiled pyramidal TIFF "
                        "(tqf-convert --export-tiff)")
