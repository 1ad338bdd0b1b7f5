// The rows of a sector table and how per-instrument and per-sector results are read
// onto them, the way pandas does it: groupby's sorted group order, reindex with a
// fill value of 0 (an axis with duplicate labels refused), a label listed twice among
// the rows reading the same values. Sector labels are integer codes >= 0; a label
// that pandas' grouping drops (None, NaN) is kNoSector wherever it is grouped.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "meridan/brinson/sector_grouping.hpp"

namespace meridan::brinson {

class SectorRows {
public:
    /// Rows labelled `codes` in order; kNoSector labels a row nothing is read onto.
    explicit SectorRows(std::vector<int> codes);

    std::size_t size() const { return codes_.size(); }
    std::span<const int> codes() const { return codes_; }

    /// The first row labelled `code`; kNoSector when no row is (or code is
    /// kNoSector).
    int row_of(int code) const;

    /// Gives every repeated label's row the values of the label's first row.
    void copy_repeated(SectorResult& result) const;

private:
    std::vector<int> codes_;
    std::vector<int> first_row_;       // code -> first row, or kNoSector
    std::vector<std::size_t> source_;  // row -> first row with the same label
};

/// The portfolio's cash on a table: its sector label and its weight (return 0).
struct CashRow {
    int code;
    double weight;
};

/// Instruments grouped onto the rows (group_by_sector over the rows of their sector
/// codes; labels outside the rows are dropped), then the cash row, when given,
/// replaced by the cash weight and a return of 0, then repeated labels copied.
SectorResult on_rows(const SectorRows& rows, std::span<const double> weight,
                     std::span<const double> ret, std::span<const int> weight_sector,
                     std::span<const int> return_sector,
                     std::optional<CashRow> cash = std::nullopt);

/// pandas' group order of a period's two groupings: the distinct labels of
/// `weight_sector`, then those new in `return_sector` (kNoSector skipped), sorted by
/// `less` keeping equal labels in that order; `cash`, when given and not among them,
/// comes last.
std::vector<int> group_order(std::span<const int> weight_sector,
                             std::span<const int> return_sector,
                             const std::function<bool(int, int)>& less,
                             std::optional<int> cash = std::nullopt);

/// pandas' reindex of a weight and a return series (labels and values) onto the rows
/// with fill value 0: labels outside the rows are dropped; a series whose labels
/// repeat raises std::invalid_argument ("cannot reindex on an axis with duplicate
/// labels"). `*_labels` are the codes of every label, dropped ones included.
SectorResult reindexed(const SectorRows& rows, std::span<const int> weight_labels,
                       std::span<const double> weight, std::span<const int> ret_labels,
                       std::span<const double> ret);

/// A result on `from` read by label onto `to`; a row whose label `from` lacks is 0.
SectorResult realigned(const SectorResult& result, const SectorRows& from,
                       const SectorRows& to);

}  // namespace meridan::brinson
