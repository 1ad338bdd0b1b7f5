#include "meridan/dates/parse.hpp"

#include "meridan/dates/civil.hpp"

namespace meridan::dates {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Reads between `min` and `max` digits at `pos`; advances `pos`.
std::optional<int> digits(std::string_view s, std::size_t& pos, int min, int max) {
    int value = 0;
    int n = 0;
    while (pos < s.size() && n < max && is_digit(s[pos])) {
        value = value * 10 + (s[pos] - '0');
        ++pos;
        ++n;
    }
    if (n < min) return std::nullopt;
    return value;
}

}  // namespace

std::int64_t LocalTime::epoch_microseconds() const {
    const std::int64_t seconds = days_from_civil(year, month, day) * 86'400 +
                                 hour * 3'600 + minute * 60 + second;
    return seconds * 1'000'000 + microsecond;
}

std::optional<LocalTime> parse_local_time(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    std::size_t pos = 0;
    LocalTime t{0, 0, 0, 0, 0, 0, 0};
    auto year = digits(s, pos, 4, 4);
    if (!year) return std::nullopt;
    t.year = *year;
    if (pos < s.size() && (s[pos] == '-' || s[pos] == '/')) {
        const char sep = s[pos++];
        auto month = digits(s, pos, 1, 2);
        if (!month || pos >= s.size() || s[pos] != sep) return std::nullopt;
        ++pos;
        auto day = digits(s, pos, 1, 2);
        if (!day) return std::nullopt;
        t.month = *month;
        t.day = *day;
    } else {
        auto month = digits(s, pos, 2, 2);
        auto day = month ? digits(s, pos, 2, 2) : std::nullopt;
        if (!day) return std::nullopt;
        t.month = *month;
        t.day = *day;
    }
    if (pos < s.size()) {
        if (s[pos] == 'T') {
            ++pos;
        } else if (is_blank(s[pos])) {
            while (pos < s.size() && is_blank(s[pos])) ++pos;
        } else {
            return std::nullopt;
        }
        auto hour = digits(s, pos, 1, 2);
        if (!hour || pos >= s.size() || s[pos] != ':') return std::nullopt;
        ++pos;
        auto minute = digits(s, pos, 2, 2);
        if (!minute) return std::nullopt;
        t.hour = *hour;
        t.minute = *minute;
        if (pos < s.size() && s[pos] == ':') {
            ++pos;
            auto second = digits(s, pos, 2, 2);
            if (!second) return std::nullopt;
            t.second = *second;
            if (pos < s.size() && (s[pos] == '.' || s[pos] == ',')) {
                ++pos;
                const std::size_t start = pos;
                auto fraction = digits(s, pos, 1, 6);
                if (!fraction || (pos < s.size() && is_digit(s[pos])))
                    return std::nullopt;
                int micro = *fraction;
                for (std::size_t n = pos - start; n < 6; ++n) micro *= 10;
                t.microsecond = micro;
            }
        }
        // Anything after the time (an offset, stray text) is left to the full reader.
        if (pos != s.size()) return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;
    if (t.year < 1900 || t.year > 2199 || !is_valid(t.year, t.month, t.day) ||
        t.hour > 23 || t.minute > 59 || t.second > 59)
        return std::nullopt;
    return t;
}

}  // namespace meridan::dates
