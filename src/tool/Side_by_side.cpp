#include "tool/Side_by_side.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

namespace Tool_ns {

void RunSideBySide(const std::vector<std::function<void()>>& jobs,
                   const std::vector<size_t>& startOrder) {
  std::vector<size_t> order = startOrder;
  if (order.empty()) {
    for (size_t j = 0; j < jobs.size(); ++j)
      order.push_back(j);
  }
  std::vector<std::exception_ptr> failures(jobs.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t n = next++; n < order.size(); n = next++) {
      const size_t j = order[n];
      try {
        jobs[j]();
      } catch (...) {
        failures[j] = std::current_exception();
      }
    }
  };
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t threads = std::min(cores, order.size());
  std::vector<std::thread> helpers;
  for (size_t t = 1; t < threads; ++t)
    helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers)
    helper.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure)
      std::rethrow_exception(failure);
  }
}

}  // namespace Tool_ns
