#include "meridan/tearsheet/monthly.hpp"

#include <limits>

#include "meridan/dates/civil.hpp"

namespace meridan::tearsheet {

MonthlyTable monthly_returns(std::span<const std::int64_t> days,
                             std::span<const double> values) {
    MonthlyTable table;
    if (days.empty()) return table;
    const int first_year = dates::civil_from_days(days.front()).year;
    const int last_year = dates::civil_from_days(days.back()).year;
    table.first_year = first_year;
    table.years = static_cast<std::size_t>(last_year - first_year + 1);
    table.cells.assign(table.years * MonthlyTable::kColumns,
                       std::numeric_limits<double>::quiet_NaN());

    // The series is walked once; a month (year) closes when the next day falls in
    // another one, or at the end. Its base is the last value of the months before.
    const double first_value = values.front();
    double month_base = first_value;
    double year_base = first_value;
    for (std::size_t i = 0; i < days.size(); ++i) {
        const dates::CivilDay day = dates::civil_from_days(days[i]);
        const bool last = i + 1 == days.size();
        const dates::CivilDay next = last ? day : dates::civil_from_days(days[i + 1]);
        const std::size_t row = static_cast<std::size_t>(day.year - first_year);
        double* cells = table.cells.data() + row * MonthlyTable::kColumns;
        if (last || next.year != day.year || next.month != day.month) {
            cells[day.month - 1] = values[i] / month_base - 1.0;
            month_base = values[i];
        }
        if (last || next.year != day.year) {
            cells[12] = values[i] / year_base - 1.0;
            year_base = values[i];
        }
    }
    return table;
}

}  // namespace meridan::tearsheet
