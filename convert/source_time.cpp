#include "source_time.h"

#include <cstdio>
#include <ctime>

namespace tqf::convert {

namespace {

const std::string *findProperty(const std::vector<std::pair<std::string, std::string>> &properties, const char *name) {
    for (const auto &[key, value] : properties)
        if (key == name)
            return &value;
    return nullptr;
}

// Seconds since 1970 of a UTC calendar time; nothing when a field is out of
// range (February 30th included).
std::optional<int64_t> utcSeconds(int year, int month, int day, int hour, int minute, int second) {
    if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    time.tm_min = minute;
    time.tm_sec = second;
    const time_t seconds = timegm(&time);
    if (time.tm_mday != day || time.tm_mon != month - 1)
        return std::nullopt;  // normalised: the day does not exist
    return static_cast<int64_t>(seconds);
}

// "GMT-08:00", "GMT+0100", "UTC+1": seconds east of UTC.
std::optional<int64_t> zoneOffset(const std::string &zone) {
    const size_t sign = zone.find_first_of("+-");
    if (sign == std::string::npos)
        return zone.find("GMT") != std::string::npos || zone.find("UTC") != std::string::npos
                   ? std::optional<int64_t>(0)
                   : std::nullopt;
    int hours = 0, minutes = 0;
    char extra = 0;
    const std::string rest = zone.substr(sign + 1);
    const bool read = std::sscanf(rest.c_str(), "%2d:%2d%c", &hours, &minutes, &extra) == 2 ||
                      std::sscanf(rest.c_str(), "%2d%2d%c", &hours, &minutes, &extra) == 2 ||
                      (minutes = 0, std::sscanf(rest.c_str(), "%2d%c", &hours, &extra) == 1);
    if (!read || hours > 14 || minutes > 59)
        return std::nullopt;
    const int64_t offset = hours * 3600 + minutes * 60;
    return zone[sign] == '-' ? -offset : offset;
}

}  // namespace

std::optional<int64_t> scanTimeOf(const std::vector<std::pair<std::string, std::string>> &properties) {
    const std::string *date = findProperty(properties, "aperio.Date");
    const std::string *time = findProperty(properties, "aperio.Time");
    if (date != nullptr && time != nullptr) {
        int month = 0, day = 0, year = 0, hour = 0, minute = 0, second = 0, digits = 0;
        char extra = 0;
        if (std::sscanf(date->c_str(), "%2d/%2d/%n%4d%c", &month, &day, &digits, &year, &extra) == 3 &&
            std::sscanf(time->c_str(), "%2d:%2d:%2d%c", &hour, &minute, &second, &extra) == 3) {
            const size_t yearDigits = date->size() - static_cast<size_t>(digits);
            if (yearDigits == 2)
                year += year < 70 ? 2000 : 1900;
            std::optional<int64_t> seconds = yearDigits == 2 || yearDigits == 4
                                                 ? utcSeconds(year, month, day, hour, minute, second)
                                                 : std::nullopt;
            const std::string *zone = findProperty(properties, "aperio.Time Zone");
            const std::optional<int64_t> offset = zone != nullptr ? zoneOffset(*zone) : std::nullopt;
            if (seconds)
                return *seconds - offset.value_or(0);
        }
    }
    if (const std::string *stamp = findProperty(properties, "tiff.DateTime")) {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
        char extra = 0;
        if (std::sscanf(stamp->c_str(), "%4d:%2d:%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute, &second,
                        &extra) == 6)
            return utcSeconds(year, month, day, hour, minute, second);
    }
    return std::nullopt;
}

}  // namespace tqf::convert
