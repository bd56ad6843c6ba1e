/*
 * Opening a slide file: every record is read and checked against the format
 * and the file's size before the slide is handed out.
 */
#ifndef TQF_SLIDE_LOADER_H
#define TQF_SLIDE_LOADER_H

#include <string>

#include "open_slide.h"

namespace tqf::library {

// Null with `error` set when the path is no readable regular file or not a
// sound slide. With readAll the whole file is read now and tiles are later
// copied from memory; otherwise they are read from the file when asked for.
OpenSlide *loadSlide(const char *path, bool readAll, std::string &error);

// Closes the file and frees everything the slide holds. Null does nothing.
void releaseSlide(OpenSlide *slide);

}  // namespace tqf::library

#endif  // TQF_SLIDE_LOADER_H
