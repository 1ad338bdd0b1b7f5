// The newly-listed test of the exposure analysis: a stock counts as newly listed while
// its listing is recent in calendar days, and, in the band between the two calendar
// thresholds, while it has traded on few enough days (a long suspension after listing
// keeps a stock "new").
#pragma once

#include <cstddef>
#include <cstdint>

namespace meridan::exposure {

/// Below this many calendar days since listing a stock is newly listed outright.
inline constexpr std::int64_t kNewListingDays = 150;
/// Above this many calendar days it is not newly listed.
inline constexpr std::int64_t kSeasonedListingDays = 365;
/// In between, it is newly listed with at most this many trading days.
inline constexpr std::size_t kNewListingTradingDays = 132;

enum class ListingAge {
    newly_listed,
    seasoned,
    count_trading_days,  // the answer depends on the trading days since listing
};

/// Classifies a stock by the whole calendar days since its listing.
ListingAge listing_age(std::int64_t days_since_listing);

/// The answer in the band where trading days decide, from the number of trading dates
/// from the listing date to the day of the analysis, both included.
bool newly_listed_by_trading_days(std::size_t trading_dates);

}  // namespace meridan::exposure
