"""Running the tqf command ($TQF_COMMAND) and the converter ($TQF_CONVERT)
in tests, and reading the images they write."""
import io
import os
import subprocess

import numpy as np

TQF = os.environ.get("TQF_COMMAND", "")
CONVERT = os.environ.get("TQF_CONVERT", "")


def run_tqf(*args, **kwargs):
    """`tqf ARGS...` to its end: the completed process, output as text."""
    return subprocess.run([TQF, *map(str, args)], capture_output=True, text=True, timeout=120, **kwargs)


def decode(data):
    """The RGB pixels of an encoded image."""
    from PIL import Image

    return np.asarray(Image.open(io.BytesIO(data)).convert("RGB"))
