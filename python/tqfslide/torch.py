"""A PyTorch dataset of patches cut from slides.

    from torch.utils.data import DataLoader
    from tqfslide.torch import PatchDataset

    dataset = PatchDataset("slide.tqf", locations, level=0, size=(256, 256))
    for batch in DataLoader(dataset, batch_size=64, num_workers=2):
        ...   # (64, 3, 256, 256) uint8 tensors

Each worker process opens the slide on first use, so the dataset works
with the fork and the spawn start methods alike.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

import torch
from torch.utils.data import Dataset

from ._slide import Slide, _integer, _locations, _size

if TYPE_CHECKING:
    from ._slide import Locations, Pair, PathLike, Pixels


class PatchDataset(Dataset):
    """Patches of `size` (width, height) pixels of `level` at `locations`
    ((x, y) of full resolution) of the slide at `path`.

    An item is a (3, height, width) uint8 tensor, or what `transform` makes
    of the (height, width, 3) RGB array; with `labels`, a (patch, label)
    pair. `slide_options` go to tqfslide.Slide.
    """

    def __init__(self, path: PathLike, locations: Locations, level: int = 0, size: Pair = (256, 256),
                 labels: Optional[Sequence[Any]] = None, transform: Optional[Callable[[Pixels], Any]] = None,
                 **slide_options: Any) -> None:
        self.path = os.fsdecode(os.fspath(path))
        self.locations = _locations(locations)
        self.level = _integer(level, "level")
        self.size = _size(size)
        if labels is not None and len(labels) != len(self.locations):
            raise ValueError(f"labels has {len(labels)} items for {len(self.locations)} locations")
        self.labels = labels
        self.transform = transform
        self.slide_options = slide_options
        self._slide: Optional[Slide] = None
        self._pid: Optional[int] = None
        # Open once here, so a path that is no slide fails at once and not
        # in a worker.
        with Slide(self.path, **slide_options) as slide:
            if not 0 <= self.level < slide.level_count:
                raise ValueError(f"level must be 0 to {slide.level_count - 1}, got {self.level}")

    def _opened(self) -> Slide:
        # A process of its own (a DataLoader worker) opens its own slide.
        if self._slide is None or self._pid != os.getpid():
            self._slide = Slide(self.path, **self.slide_options)
            self._pid = os.getpid()
        return self._slide

    def __len__(self) -> int:
        return len(self.locations)

    def __getitem__(self, given: int) -> Any:
        index = _integer(given, "index")
        if not -len(self) <= index < len(self):
            raise IndexError(f"index {index} is out of range for {len(self)} patches")
        x, y = (int(v) for v in self.locations[index])
        patch = self._opened().read_region((x, y), self.level, self.size)
        item = self.transform(patch) if self.transform is not None else torch.from_numpy(patch).permute(2, 0, 1)
        return item if self.labels is None else (item, self.labels[index])

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["_slide"] = None
        state["_pid"] = None
        return state
