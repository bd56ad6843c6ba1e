// The properties of the image a slide was converted from, as the slide
// library hands them on in its extension records.
#ifndef TQF_CORE_SOURCE_PROPERTIES_H
#define TQF_CORE_SOURCE_PROPERTIES_H

#include <string>
#include <utility>
#include <vector>

#include "core_api.h"
#include "yelk.h"

namespace tqfio::core {

// The first sound source-properties record of the slide's extension list,
// its names and values made valid UTF-8. Records of other ids are skipped;
// so is one that is not sound (NUL ended name and value pairs, names unique
// and not empty). Nothing when the handle offers no list, as a library
// that predates the records does.
TQFIO_CORE_API std::vector<std::pair<std::string, std::string>> source_properties(const TQF &slide);

// The text with every byte that is not part of a well-formed UTF-8 sequence
// (overlong forms, surrogates and code points above U+10FFFF included)
// replaced by U+FFFD.
TQFIO_CORE_API std::string valid_utf8(const std::string &text);

}  // namespace tqfio::core

#endif  // TQF_CORE_SOURCE_PROPERTIES_H
