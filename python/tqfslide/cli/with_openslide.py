"""`tqf with-openslide COMMAND [ARGS...]`: runs a command with this project's
libopenslide first on the library search path, so that every tool built on
OpenSlide (vips, openslide-python, openslide-tools, QuPath ...) opens .tqf
slides and hands every other file to the system's OpenSlide.

The folder holds libopenslide.so.0 (OpenSlide 3.4's interface, which
Debian's tools load) and libopenslide.so.1 (OpenSlide 4's) and nothing
else. It goes first on LD_LIBRARY_PATH, which the dynamic linker ignores
for programs that run set-user-ID, set-group-ID or with file capabilities:
such a command is refused rather than run silently with the system's
OpenSlide.
"""

from __future__ import annotations

import argparse
import os
import shutil
import stat
import sys
from typing import Optional, Sequence

from .. import _version

COMMANDS = ("with-openslide",)

LIBRARIES = ("libopenslide.so.0", "libopenslide.so.1")

USAGE = "usage: tqf with-openslide [--print-dir] COMMAND [ARGS...]"
HELP = f"""{USAGE}

Runs COMMAND with the OpenSlide-compatible libraries of tqfReader first on
the library search path (LD_LIBRARY_PATH): vips, openslide-python,
openslide-show-properties and every other program built on OpenSlide then
open .tqf slides, and other slides as before.

  tqf with-openslide vips dzsave scan.tqf scan
  tqf with-openslide python3 my_script.py

options:
  -h, --help   show this help and exit
  --print-dir  print the folder of the libraries and exit

The exit status is COMMAND's; 127 when it cannot be found, 1 when the
libraries are missing or COMMAND runs in secure-execution mode (set-user-ID,
set-group-ID or with capabilities), which ignores LD_LIBRARY_PATH."""


def library_dir() -> Optional[str]:
    """The folder of libopenslide.so.0 and .so.1: beside the package in a
    build folder (build/openslide), inside it where pip installed it
    (tqfslide/_libs/openslide), else where the Debian package installs them.
    None when none holds them."""
    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for folder in (os.path.join(os.path.dirname(package), "openslide"), os.path.join(package, "_libs", "openslide"),
                   _version.OPENSLIDE_LIBRARY_DIR):
        if folder and all(os.path.isfile(os.path.join(folder, name)) for name in LIBRARIES):
            return folder
    return None


def _secure_execution(program: str) -> Optional[str]:
    """Why the dynamic linker would ignore LD_LIBRARY_PATH for `program`,
    or None."""
    try:
        mode = os.stat(program).st_mode
    except OSError:
        return None
    if mode & stat.S_ISUID:
        return "it runs set-user-ID"
    if mode & stat.S_ISGID:
        return "it runs set-group-ID"
    try:
        if os.getxattr(program, "security.capability"):
            return "it runs with file capabilities"
    except OSError:
        pass
    return None


def main(arguments: Sequence[str]) -> int:
    """Runs `tqf with-openslide ARGUMENTS`; returns an exit status only when
    it did not replace this process with the command."""
    if not arguments:
        print(USAGE, file=sys.stderr)
        print("tqf with-openslide: error: a COMMAND to run is required", file=sys.stderr)
        return 2
    if arguments[0] in ("-h", "--help"):
        print(HELP)
        return 0
    folder = library_dir()
    if folder is None:
        print("tqf with-openslide: cannot find libopenslide.so.0 and libopenslide.so.1 (build the project, or "
              "install the tqfreader package)", file=sys.stderr)
        return 1
    if arguments[0] == "--print-dir":
        print(folder)
        return 0
    if arguments[0] == "--":
        arguments = arguments[1:]
    if not arguments or arguments[0].startswith("-"):
        problem = f"unknown option {arguments[0]}" if arguments else "a COMMAND to run is required"
        print(USAGE, file=sys.stderr)
        print(f"tqf with-openslide: error: {problem}", file=sys.stderr)
        return 2
    command = arguments[0]
    program = shutil.which(command) if os.sep not in command else command
    if program is None or not os.path.isfile(program) or not os.access(program, os.X_OK):
        print(f"tqf with-openslide: {command}: command not found", file=sys.stderr)
        return 127
    reason = _secure_execution(program)
    if reason is not None:
        print(f"tqf with-openslide: {command}: {reason}, so the dynamic linker ignores LD_LIBRARY_PATH and it "
              "would use the system's OpenSlide; make the libraries the machine's default instead (see README)",
              file=sys.stderr)
        return 1
    environment = dict(os.environ)
    search_path = environment.get("LD_LIBRARY_PATH")
    environment["LD_LIBRARY_PATH"] = folder + (os.pathsep + search_path if search_path else "")
    sys.stdout.flush()
    sys.stderr.flush()
    try:
        os.execve(program, [command, *arguments[1:]], environment)
    except OSError as e:
        print(f"tqf with-openslide: {command}: {e.strerror}", file=sys.stderr)
        return 126


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    # Run by main with its arguments untouched; here for the help.
    commands.add_parser("with-openslide", add_help=False, help="run a command built on OpenSlide (vips, "
                        "openslide-python ...) so that it opens .tqf slides")
