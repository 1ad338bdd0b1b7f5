// Reading the trade times users type ("2017-06-30 09:31:05", "2017/6/30", "20170630
// 14:00") without Python: the common forms of statement cells, read exactly as the
// package's text rule reads them, so that a whole column can be converted at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace meridan::dates {

struct LocalTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int microsecond;

    /// Microseconds since 1970-01-01 00:00 of this wall time.
    std::int64_t epoch_microseconds() const;
};

/// A naive wall time in years 1900..2199 from text: "YYYY-MM-DD", "YYYY/MM/DD" (one
/// or two digits for month and day) or "YYYYMMDD", optionally followed, after "T" or
/// blanks, by "H:MM" or "HH:MM" with optional ":SS" and an optional fraction of up to
/// six digits after "." or ",". Leading and trailing blanks are ignored. Empty for
/// any other text, including forms that are valid but not handled here (UTC offsets,
/// finer fractions) and impossible dates or times: callers then read the text the
/// slower, complete way.
std::optional<LocalTime> parse_local_time(std::string_view text);

}  // namespace meridan::dates
