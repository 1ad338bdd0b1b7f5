// Which snapshots of a portfolio series an exposure summary shows: at most three,
// either the ones nearest to the end date and to one and two steps before it (the
// step growing with the length of the range), or the first, middle and last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace meridan::exposure {

/// Calendar months between the dates looked at: 3 for a range of up to 365 days, 6 up
/// to 1095 days (three years), 12 beyond.
int step_months(std::int64_t range_days);

/// Among `days` (ascending day numbers), the index nearest to `target` found by
/// searching downwards from index `from`: the last index at or before `from` whose
/// day is not after `target`, or the index just after it when that one is strictly
/// nearer (a tie goes to the earlier day). Empty when no day at or before `from` is on
/// or before `target`.
std::optional<std::size_t> nearest_snapshot(std::span<const std::int64_t> days,
                                            std::int64_t target, std::ptrdiff_t from);

/// The snapshots nearest to `end`, then to `end` moved back one step, then two steps
/// (calendar-month arithmetic on the moved date, so a month end stays clamped to the
/// shorter month), each search starting below the previous choice, stopping early when
/// no index is left or the target falls before `start`. An index may repeat when a
/// target's nearest snapshot is the one chosen before it.
std::vector<std::size_t> choose_by_step(std::span<const std::int64_t> days,
                                        std::int64_t start, std::int64_t end);

/// All of 0..n-1 when n is at most 3, otherwise 0, n / 2 and n - 1.
std::vector<std::size_t> choose_first_middle_last(std::size_t n);

}  // namespace meridan::exposure
