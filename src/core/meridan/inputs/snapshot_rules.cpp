#include "meridan/inputs/snapshot_rules.hpp"

namespace meridan::inputs {

std::string_view describe(Fault fault) {
    switch (fault) {
        case Fault::none:
            return {};
        case Fault::not_finite:
            return "is not a finite number";
        case Fault::negative:
            return "is negative";
        case Fault::not_positive:
            return "is not above 0";
    }
    return {};
}

bool is_index_type(std::string_view type) { return type == kIndexType; }

}  // namespace meridan::inputs
