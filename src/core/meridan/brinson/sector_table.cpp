#include "meridan/brinson/sector_table.hpp"

#include <algorithm>
#include <stdexcept>

namespace meridan::brinson {

namespace {

std::size_t slots_for(std::span<const int> codes) {
    int top = -1;
    for (int c : codes) top = std::max(top, c);
    return static_cast<std::size_t>(top + 1);
}

}  // namespace

SectorRows::SectorRows(std::vector<int> codes) : codes_(std::move(codes)) {
    first_row_.assign(slots_for(codes_), kNoSector);
    source_.reserve(codes_.size());
    for (std::size_t r = 0; r < codes_.size(); ++r) {
        const int c = codes_[r];
        if (c < 0) {
            source_.push_back(r);
            continue;
        }
        int& first = first_row_[static_cast<std::size_t>(c)];
        if (first == kNoSector) first = static_cast<int>(r);
        source_.push_back(static_cast<std::size_t>(first));
    }
}

int SectorRows::row_of(int code) const {
    if (code < 0 || static_cast<std::size_t>(code) >= first_row_.size())
        return kNoSector;
    return first_row_[static_cast<std::size_t>(code)];
}

void SectorRows::copy_repeated(SectorResult& result) const {
    for (std::size_t r = 0; r < source_.size(); ++r) {
        result.weight[r] = result.weight[source_[r]];
        result.ret[r] = result.ret[source_[r]];
    }
}

SectorResult on_rows(const SectorRows& rows, std::span<const double> weight,
                     std::span<const double> ret, std::span<const int> weight_sector,
                     std::span<const int> return_sector, std::optional<CashRow> cash) {
    if (weight_sector.size() != weight.size() || return_sector.size() != weight.size())
        throw std::invalid_argument("on_rows: one sector per instrument expected");
    std::vector<int> ws(weight_sector.size()), rs(return_sector.size());
    for (std::size_t i = 0; i < ws.size(); ++i) {
        ws[i] = rows.row_of(weight_sector[i]);
        rs[i] = rows.row_of(return_sector[i]);
    }
    SectorResult r = group_by_sector(weight, ret, ws, rs, rows.size());
    if (cash) {
        const int row = rows.row_of(cash->code);
        if (row == kNoSector) throw std::invalid_argument("on_rows: no cash row");
        r.weight[static_cast<std::size_t>(row)] = cash->weight;
        r.ret[static_cast<std::size_t>(row)] = 0.0;
    }
    rows.copy_repeated(r);
    return r;
}

std::vector<int> group_order(std::span<const int> weight_sector,
                             std::span<const int> return_sector,
                             const std::function<bool(int, int)>& less,
                             std::optional<int> cash) {
    std::vector<int> present;
    std::vector<bool> seen;
    for (std::span<const int> labels : {weight_sector, return_sector}) {
        for (int c : labels) {
            if (c < 0) continue;
            const auto at = static_cast<std::size_t>(c);
            if (at >= seen.size()) seen.resize(at + 1, false);
            if (seen[at]) continue;
            seen[at] = true;
            present.push_back(c);
        }
    }
    std::stable_sort(present.begin(), present.end(), less);
    if (cash && std::find(present.begin(), present.end(), *cash) == present.end())
        present.push_back(*cash);
    return present;
}

SectorResult reindexed(const SectorRows& rows, std::span<const int> weight_labels,
                       std::span<const double> weight, std::span<const int> ret_labels,
                       std::span<const double> ret) {
    SectorResult out{std::vector<double>(rows.size(), 0.0),
                     std::vector<double>(rows.size(), 0.0)};
    auto read = [&rows](std::span<const int> labels, std::span<const double> values,
                        std::vector<double>& target) {
        if (labels.size() != values.size())
            throw std::invalid_argument("reindexed: one value per label expected");
        std::vector<bool> seen(slots_for(labels), false);
        for (std::size_t i = 0; i < labels.size(); ++i) {
            if (labels[i] < 0) throw std::invalid_argument("reindexed: negative label");
            const auto at = static_cast<std::size_t>(labels[i]);
            if (seen[at])
                throw std::invalid_argument(
                    "cannot reindex on an axis with duplicate labels");
            seen[at] = true;
            const int r = rows.row_of(labels[i]);
            if (r != kNoSector) target[static_cast<std::size_t>(r)] = values[i];
        }
    };
    read(weight_labels, weight, out.weight);
    read(ret_labels, ret, out.ret);
    rows.copy_repeated(out);
    return out;
}

SectorResult realigned(const SectorResult& result, const SectorRows& from,
                       const SectorRows& to) {
    SectorResult out{std::vector<double>(to.size(), 0.0),
                     std::vector<double>(to.size(), 0.0)};
    for (std::size_t r = 0; r < to.size(); ++r) {
        const int f = from.row_of(to.codes()[r]);
        if (f == kNoSector) continue;
        out.weight[r] = result.weight[static_cast<std::size_t>(f)];
        out.ret[r] = result.ret[static_cast<std::size_t>(f)];
    }
    return out;
}

}  // namespace meridan::brinson
