"""The `tqf` command: facts, regions, thumbnails and associated images of
.tqf slides, the converter, the viewer and tissue masks.

    tqf info SLIDE [--json]
    tqf region SLIDE X Y W H [--level N | --downsample D | --magnification M] -o OUT
    tqf thumbnail SLIDE -o OUT [--size N]
    tqf associated SLIDE NAME -o OUT
    tqf convert [OPTIONS] INPUT OUTPUT.tqf        (tqf-convert)
    tqf export [OPTIONS] SLIDE OUTPUT.tiff        (tqf-convert --export-tiff)
    tqf serve PATH [--host 127.0.0.1] [--port 8000]
    tqf tissue-mask SLIDE... -o FOLDER [--scheduler ADDRESS]
    tqf with-openslide COMMAND [ARGS...]          (tools built on OpenSlide open .tqf slides)

Exit status: 0 on success, 1 for a failure (one line on standard error
naming the input and the cause), 2 for a usage error.

Each command is a module of this package with add_parser(commands), which
adds its parser to argparse's subparsers and sets `func` (run(args) ->
exit status) as its default; a command that writes an image sets
`image_output` too. A new command is a new module listed in COMMANDS.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Mapping, Optional, Sequence

from .._errors import TqfError
from .._version import __version__
from . import associated, convert, info, region, serve, thumbnail, tissue_mask, with_openslide
from ._common import Failure, check_image_output

# The commands in the order of the help.
COMMANDS = (info, region, thumbnail, associated, convert, serve, tissue_mask, with_openslide)


class _Parser(argparse.ArgumentParser):
    commands: Mapping[str, argparse.ArgumentParser]  # each command's parser, by name


def build_parser() -> _Parser:
    parser = _Parser(
        prog="tqf",
        description="Look at .tqf whole-slide images: facts, regions, thumbnails and associated images, "
                    "conversion, and a viewer in the browser.",
        epilog="Coordinates are pixels of full resolution (level 0); sizes are pixels of the level read. "
               "Run 'tqf COMMAND --help' for a command's options.")
    parser.add_argument("--version", action="version", version=f"tqf {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    for command in COMMANDS:
        command.add_parser(commands)
    parser.commands = commands.choices
    return parser


def _input_of(args: argparse.Namespace) -> Optional[str]:
    for name in ("slide", "path", "input"):
        value = getattr(args, name, None)
        if isinstance(value, str):
            return value
    return None


def _failure_line(args: argparse.Namespace, error: BaseException) -> str:
    """One line naming the input and the cause."""
    where = _input_of(args)
    if isinstance(error, OSError) and error.strerror:
        name = error.filename if error.filename is not None else where
        return f"{name}: {error.strerror}" if name else error.strerror
    message = str(error) or type(error).__name__
    if isinstance(error, MemoryError):
        message = "not enough memory for the request"
    if where and where not in message:
        return f"{where}: {message}"
    return message


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in convert.COMMANDS:
        return convert.run_converter(argv[0], argv[1:])
    if argv and argv[0] in with_openslide.COMMANDS:
        return with_openslide.main(argv[1:])
    parser = build_parser()
    args = parser.parse_args(argv)
    if getattr(args, "image_output", False):
        check_image_output(parser.commands[args.command], args.output)
    try:
        status: int = args.func(args)
        return status
    except Failure as e:
        print(f"tqf {args.command}: {e}", file=sys.stderr)
    except (OSError, TqfError, ValueError, MemoryError) as e:
        if isinstance(e, BrokenPipeError):
            return _quiet_broken_pipe()
        print(f"tqf {args.command}: {_failure_line(args, e)}", file=sys.stderr)
    except KeyboardInterrupt:
        return 130
    return 1


def _quiet_broken_pipe() -> int:
    # The reader went away (tqf info x | head): not a failure worth a word.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except OSError:
        pass
    return 0
