#include "meridan/brinson/period_splitting.hpp"

#include <algorithm>
#include <stdexcept>

#include "meridan/brinson/whole_shares.hpp"

namespace meridan::brinson {

namespace {

// Holdings as an insertion-ordered mapping from instrument code to quantity, indexed
// by code for constant-time look-up.
class Holdings {
public:
    void assign(const PlainSeries& s, std::size_t snapshot) {
        for (int id : order_) slot_[static_cast<std::size_t>(id)] = kAbsent;
        order_.clear();
        quantity_.clear();
        for (std::size_t k = s.offsets[snapshot]; k < s.offsets[snapshot + 1]; ++k) {
            const int id = s.ids[k];
            if (id < 0) throw std::invalid_argument("split_by_holdings: negative id");
            const auto at = static_cast<std::size_t>(id);
            if (at >= slot_.size()) slot_.resize(at + 1, kAbsent);
            if (slot_[at] == kAbsent) {
                slot_[at] = order_.size();
                order_.push_back(id);
                quantity_.push_back(s.quantity[k]);
            } else {
                quantity_[slot_[at]] = s.quantity[k];
            }
        }
    }

    std::span<const int> ids() const { return order_; }

    void scale(const Split& split) {
        const std::size_t at = find(split.id);
        if (at == kAbsent)
            throw std::invalid_argument(
                "split_by_holdings: a split names an "
                "instrument that is not held");
        quantity_[at] = split_quantity(quantity_[at], split.coefficient);
    }

    // Whether `other` holds the same instruments with equal quantities (the order
    // of listing does not matter).
    bool operator==(const Holdings& other) const {
        if (order_.size() != other.order_.size()) return false;
        for (std::size_t i = 0; i < order_.size(); ++i) {
            const std::size_t at = other.find(order_[i]);
            if (at == kAbsent || !(other.quantity_[at] == quantity_[i])) return false;
        }
        return true;
    }

private:
    static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

    std::size_t find(int id) const {
        const auto at = static_cast<std::size_t>(id);
        return id >= 0 && at < slot_.size() ? slot_[at] : kAbsent;
    }

    std::vector<std::size_t> slot_;  // code -> position in order_
    std::vector<int> order_;
    std::vector<double> quantity_;
};

}  // namespace

std::vector<Period> split_by_holdings(const PlainSeries& series,
                                      const SplitSource& splits) {
    std::vector<Period> periods;
    if (series.size() == 0) return periods;
    Holdings held, seen;
    held.assign(series, 0);
    Period current{0, 1};
    for (std::size_t i = 1; i < series.size(); ++i) {
        for (const Split& s : splits(i, held.ids())) held.scale(s);
        seen.assign(series, i);
        if (seen == held) {
            // The carried holdings keep their order: it is the order of the next
            // split request.
            ++current.length;
            continue;
        }
        periods.push_back(current);
        current = {i, 1};
        std::swap(held, seen);
    }
    periods.push_back(current);
    return periods;
}

PeriodWeights period_weights(const PlainSeries& series, std::size_t snapshot) {
    constexpr std::size_t kUnseen = static_cast<std::size_t>(-1);
    const double total = series.market_value.at(snapshot);
    PeriodWeights out;
    std::vector<std::size_t> slot;  // code -> position in out
    for (std::size_t k = series.offsets[snapshot]; k < series.offsets[snapshot + 1];
         ++k) {
        if (series.quantity[k] == 0.0) continue;
        const auto id = static_cast<std::size_t>(series.ids[k]);
        if (id >= slot.size()) slot.resize(id + 1, kUnseen);
        if (slot[id] == kUnseen) {
            slot[id] = out.ids.size();
            out.ids.push_back(series.ids[k]);
            out.weight.push_back(series.value[k] / total);
        } else {
            out.weight[slot[id]] = series.value[k] / total;
        }
    }
    return out;
}

std::vector<FirstHolding> first_holdings(const PlainSeries& series) {
    std::vector<FirstHolding> out;
    std::vector<bool> seen;
    for (std::size_t i = 0; i < series.size(); ++i) {
        for (std::size_t k = series.offsets[i]; k < series.offsets[i + 1]; ++k) {
            const auto id = static_cast<std::size_t>(series.ids[k]);
            if (series.quantity[k] == 0.0) continue;
            if (id >= seen.size()) seen.resize(id + 1, false);
            if (seen[id]) continue;
            seen[id] = true;
            out.push_back({i, series.ids[k]});
        }
    }
    return out;
}

}  // namespace meridan::brinson
