#include "QuillmereMac/Encoder/RateSettings.h"

#include <utility>

namespace quillmere {

std::optional<RateSettings::Refusal> RateSettings::change(const Values& asked, const Apply& apply) {
    if (asked == applied_) return std::nullopt;
    if (apply(asked)) {
        applied_ = asked;
        return std::nullopt;
    }
    ++refusals_;
    const Change change = asked.rateKbit != applied_.rateKbit ? Change::rate : Change::buffer;
    const bool first = !std::exchange(refused_[static_cast<int>(change)], true);
    return Refusal{change, asked, applied_, first};
}

} // namespace quillmere
