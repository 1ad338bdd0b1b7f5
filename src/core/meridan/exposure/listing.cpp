#include "meridan/exposure/listing.hpp"

namespace meridan::exposure {

ListingAge listing_age(std::int64_t days_since_listing) {
    if (days_since_listing > kSeasonedListingDays) return ListingAge::seasoned;
    if (days_since_listing < kNewListingDays) return ListingAge::newly_listed;
    return ListingAge::count_trading_days;
}

bool newly_listed_by_trading_days(std::size_t trading_dates) {
    return trading_dates <= kNewListingTradingDays;
}

}  // namespace meridan::exposure
