#pragma once

// Work shared by the calling thread and one helper thread started for it: the embed's stages are
// a handful of tasks of tens of milliseconds each, and the program runs beside a host.

#include <atomic>
#include <cstddef>
#include <thread>

namespace mirelo::services::roomcard::watermark {

// Runs task(0) … task(count − 1) on this thread and one helper until one returns false; returns
// whether all returned true. Tasks after a failure are not started. Each task is told which of
// the two threads runs it (0: this one, 1: the helper). Costs one thread start.
template <class Task>
bool allPass(size_t count, const Task& task) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  const auto work = [&](int worker) {
    for (size_t i; !failed.load() && (i = next.fetch_add(1)) < count;) {
      if (!task(i, worker)) failed.store(true);
    }
  };
  std::thread helper(work, 1);
  work(0);
  helper.join();
  return !failed.load();
}

}  // namespace mirelo::services::roomcard::watermark
