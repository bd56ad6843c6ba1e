"""tqf info SLIDE [--json]: a slide's dimensions, levels and properties."""

from __future__ import annotations

import argparse
import datetime
import json
import sys
from typing import TYPE_CHECKING, Any

from ._common import open_slide

if TYPE_CHECKING:
    from .._slide import Slide


def _number(value: float) -> float:
    return int(value) if float(value) == int(value) else value


def _facts(slide: Slide) -> dict[str, Any]:
    props = slide.properties
    scan_time = props.get("tqf.scanTime")
    facts = {
        "path": slide.path,
        "vendor": "tqf",
        "dimensions": list(slide.dimensions),
        "magnification": _number(slide.magnification),
        "mpp": list(slide.mpp) if slide.mpp else None,
        "compression": props.get("tqf.compressType"),
        "scan_time": None,
        "levels": [
            {"level": i, "magnification": _number(m), "downsample": _number(d), "width": w, "height": h,
             "tile_width": tw, "tile_height": th}
            for i, (m, d, (w, h), (tw, th)) in enumerate(zip(slide.level_magnifications, slide.level_downsamples,
                                                            slide.level_dimensions, slide.level_tile_sizes))
        ],
        "associated_images": sorted(slide.associated_images),
        "properties": dict(props),
    }
    try:
        seconds = int(scan_time) if scan_time is not None else 0
        if seconds > 0:
            facts["scan_time"] = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()
    except (ValueError, OverflowError, OSError):
        pass
    return facts


def _one_line(text: str) -> str:
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def run(args: argparse.Namespace) -> int:
    with open_slide(args.slide) as slide:
        facts = _facts(slide)
    if args.json:
        json.dump(facts, sys.stdout, indent=2)
        sys.stdout.write("\n")
        return 0
    width, height = facts["dimensions"]
    mpp = facts["mpp"]
    lines = [
        facts["path"],
        f"  dimensions:        {width} x {height} pixels",
        f"  magnification:     {facts['magnification']}x",
        f"  microns per pixel: {f'{mpp[0]:g} x {mpp[1]:g}' if mpp else 'not recorded'}",
        f"  compression:       {facts['compression'] or 'unknown'}",
        f"  scan time:         {facts['scan_time'] or 'not recorded'}",
        f"  associated images: {', '.join(facts['associated_images']) or 'none'}",
        "  levels:",
        "    level  magnification  downsample       width x height  tile",
    ]
    for level in facts["levels"]:
        lines.append(f"    {level['level']:>5}  {level['magnification']:>12}x  {level['downsample']:>10}  "
                     f"{level['width']:>10} x {level['height']:<7} {level['tile_width']} x {level['tile_height']}")
    lines.append("  properties:")
    # One line each: a source's descriptions may run over several.
    lines.extend(f"    {name} = {_one_line(value)}" for name, value in facts["properties"].items())
    print("\n".join(lines))
    return 0


def add_parser(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser("info", help="print a slide's dimensions, levels and properties",
                            description="Prints a slide's dimensions, magnification, microns per pixel, levels, "
                                        "associated images and properties.")
    p.add_argument("slide", metavar="SLIDE")
    p.add_argument("--json", action="store_true", help="print them as JSON")
    p.set_defaults(func=run)
