"""python3 -m tqfslide.tissue_mask SLIDE... -o FOLDER: the `tqf tissue-mask`
command on its own (see tqfslide.cli.tissue_mask). The detector lives in
tqfslide.tissue; its functions are found here too, where they used to be."""

import sys

from .cli.tissue_mask import MASK_DOWNSAMPLE, add_parser, main, run
from .tissue import detect_tissue, otsu, saturation, tile_fractions, tile_means

__all__ = ["main", "run", "add_parser", "MASK_DOWNSAMPLE", "detect_tissue", "saturation", "otsu", "tile_fractions",
           "tile_means"]

if __name__ == "__main__":
    sys.exit(main())
