#pragma once

// Running independent pieces of work at once, one thread a piece up to the machine's cores.

#include <functional>
#include <vector>

namespace Tool_ns {

// Runs every job, as many at a time as the machine has cores (one at a time on one core), and
// returns when all have ended. Jobs start in startOrder (indices into jobs; the jobs' own order
// when empty), so that the longest may be started first. Each job must touch only what is its
// own. When jobs fail, the failure of the first of them in the list is raised again here,
// after the others have ended.
void RunSideBySide(const std::vector<std::function<void()>>& jobs,
                   const std::vector<size_t>& startOrder = {});

}  // namespace Tool_ns
