/*
 * When a source was scanned, from the properties it carries.
 */
#ifndef TQF_CONVERT_SOURCE_TIME_H
#define TQF_CONVERT_SOURCE_TIME_H

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tqf::convert {

// Aperio's Date and Time ("12/29/09", "09:59:15"; a year of two digits is
// 1970..2069), in its Time Zone where that reads as an offset ("GMT-08:00",
// "GMT+0100"), else taken as UTC; or else the TIFF DateTime tag's
// "YYYY:MM:DD HH:MM:SS", taken as UTC. Seconds since 1970; nothing when
// neither is there or reads as a real time.
std::optional<int64_t> scanTimeOf(const std::vector<std::pair<std::string, std::string>> &properties);

}  // namespace tqf::convert

#endif  // TQF_CONVERT_SOURCE_TIME_H
