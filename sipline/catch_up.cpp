#include "catch_up.h"

#include <algorithm>

namespace sipline {

CatchUp planCatchUp(uint64_t expirations, uint64_t maxSent, uint64_t maxServed)
{
    CatchUp plan;
    plan.served = std::min(expirations, std::max(maxServed, uint64_t{1}));
    plan.sendFrom = plan.served - std::min(plan.served, maxSent);
    plan.skipped = expirations - plan.served;
    return plan;
}

} // namespace sipline
