#include "meridan/brinson/benchmark_runs.hpp"

namespace meridan::brinson {

std::vector<Run> constituent_runs(std::span<const bool> same_as_previous) {
    std::vector<Run> runs;
    for (std::size_t i = 0; i < same_as_previous.size(); ++i) {
        if (i == 0 || !same_as_previous[i])
            runs.push_back({i, 1});
        else
            ++runs.back().length;
    }
    return runs;
}

}  // namespace meridan::brinson
