#include "tools/qmhost/unit_health.hpp"

#include <algorithm>

UnitHealth::Failure UnitHealth::failed(const CycleResult& result)
{
    ++failed_in_row_;
    const bool same = result.failed_step == last_step_ && result.error == last_error_;
    same_step_in_row_ = same ? same_step_in_row_ + 1 : 1;
    last_step_ = result.failed_step;
    last_error_ = result.error;
    Failure failure = Failure::StillLost;
    if (!lost_) {
        if (failed_in_row_ < kLostAfter) return Failure::Counted;
        lost_ = true;
        failure = Failure::Lost;
    }
    pause_ = pause_ == Clock::duration::zero() ? Clock::duration(kFirstPause)
                                               : std::min<Clock::duration>(2 * pause_, kLongestPause);
    resume_at_ = Clock::now() + pause_;
    return failure;
}

// A unit that answers the cycle's other requests but fails one of them every
// time lacks what that one reads; otherwise it is gone.
std::string UnitHealth::lost_text(const CycleResult& result) const
{
    const bool exception = result.error.find("the unit answered exception") != std::string::npos;
    if (same_step_in_row_ >= kLostAfter && (result.answered > 0 || exception))
        return "step " + std::to_string(result.failed_step) + " (" + result.error.substr(0, result.error.find(':')) +
               ") failed in " + std::to_string(same_step_in_row_) +
               " cycles in a row while the unit answers the others: the unit seems not to have them";
    return "unit lost: " + std::to_string(failed_in_row_) + " cycles failed in a row";
}
