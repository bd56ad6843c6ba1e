"""Python face of the ".tqf" slide reader.

    import tqfReader
    slide = tqfReader.reader()
    if slide.ReadInfo("tissue.tqf"):          # opens at the scan magnification
        w, h = slide.getWidth(), slide.getHeight()
        pixels = slide.ReadRoi(0, 0, 512, 256, slide.getReadScale())
        region = pixels.reshape(256, 512, 3)   # rows, columns, blue-green-red
"""
import _tqfReader

_instance_method = _tqfReader.SWIG_PyInstanceMethod_New


class reader:
    """One slide reader; each method calls the module function of its name.

    ReadInfo(path[, scale[, read_all]]) -> bool
        Opens (or reopens) a slide; width and height then count at `scale`
        (the scan magnification when it is 0 or left out).
    getWidth(), getHeight() -> int
    getReadScale() -> int; setReadScale(scale)
        The magnification of the level that tiles are fetched from.
    ReadRoi(x, y, w, h, scale) -> numpy.ndarray
        The region's pixels as one-dimensional uint8 array of w * h * 3 bytes,
        blue, green, red, rows top to bottom. Reshape it to rows x columns x
        channels with ``array.reshape(h, w, 3)``. The array views the reader's
        result buffer: the next ReadRoi of the same size on this reader
        overwrites it, so copy (``array.copy()``) what you keep.
    ReadPreview(), readLabelImage() -> [width, numpy.ndarray]
        The preview or label image; reshape with
        ``array.reshape(-1, width, 3)`` when width is not 0.
    delete()
        Destroys the reader now (also done when the object is collected).
    """

    __swig_destroy__ = _tqfReader.delete_reader

    def __init__(self):
        self.this = _tqfReader.new_reader()

    ReadInfo = _instance_method(_tqfReader.reader_ReadInfo)
    ReadRoi = _instance_method(_tqfReader.reader_ReadRoi)
    ReadPreview = _instance_method(_tqfReader.reader_ReadPreview)
    getWidth = _instance_method(_tqfReader.reader_getWidth)
    getHeight = _instance_method(_tqfReader.reader_getHeight)
    getReadScale = _instance_method(_tqfReader.reader_getReadScale)
    setReadScale = _instance_method(_tqfReader.reader_setReadScale)
    readLabelImage = _instance_method(_tqfReader.reader_readLabelImage)
    delete = _instance_method(_tqfReader.delete_reader)

    def __repr__(self):
        return "<tqfReader.reader %r>" % (self.__dict__.get("this"),)


_tqfReader.reader_swigregister(reader)
