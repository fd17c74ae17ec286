// The per-call thread team: helper threads, job hand-out, interruption and error propagation.
#include "algo/parallel.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/cpu_count.hpp"
#include "platform/exception_state.hpp"
#include "platform/fork_count.hpp"
#include "platform/thread_cost.hpp"

namespace velkor::algo::detail {

unsigned parse_thread_cap(const char* text) noexcept {
  if (!text || !*text) return 0;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || v <= 0) return 0;
  return v > 65536 ? 65536u : static_cast<unsigned>(v);
}

unsigned thread_count(unsigned requested) noexcept {
  if (requested > 0) return requested;
  unsigned n = platform::usable_cpus();
  if (const unsigned cap = parse_thread_cap(std::getenv("VELKOR_NUM_THREADS"))) n = std::min(n, cap);
  return n;
}

// More threads than this only cost memory: per-thread scratch is made for each.
constexpr unsigned kMaxTeam = 1024;

Team::Team(const base::Resources& resources, std::size_t min_work)
    : interrupt_(resources.interrupt),
      budget_(resources.budget),
      size_(std::min(thread_count(resources.threads), kMaxTeam)),
      min_work_(min_work),
      forks_(platform::forks_so_far()) {}

Team::~Team() {
  if (forked()) {
    // The helpers do not exist here; their handles, lock and condition
    // variables are abandoned as they are.
    (void)helpers_.release();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(helpers_->mutex);
    shutdown_ = true;
  }
  helpers_->wake.notify_all();
  for (std::thread& t : helpers_->threads) t.join();
  if (budget_) {
    budget_->release(helper_memory_);
    budget_->release_address_space(helper_address_space_);
  }
}

bool Team::forked() const noexcept { return platform::forks_so_far() != forks_; }

void Team::poll() {
  if (interrupt_ && interrupt_->requested()) throw base::Interrupted{};
}

void Team::start_helpers(unsigned wanted) noexcept {
  std::vector<std::thread>& threads = helpers_->threads;
  const platform::ThreadCost cost = platform::thread_cost();
  while (threads.size() < wanted) {
    const auto slot = static_cast<unsigned>(threads.size() + 1);
    // Either the budget or the system may refuse another thread: go on with
    // those there are.
    bool charged = false;
    try {
      threads.reserve(wanted);
      if (budget_) {
        budget_->reserve_address_space(cost.address_space);
        try {
          budget_->charge(cost.memory);
        } catch (...) {
          budget_->release_address_space(cost.address_space);
          throw;
        }
        charged = true;
      }
      threads.emplace_back([this, slot] { helper(slot); });
    } catch (...) {
      if (charged) {
        budget_->release(cost.memory);
        budget_->release_address_space(cost.address_space);
      }
      return;
    }
    if (charged) {
      helper_memory_ += cost.memory;
      helper_address_space_ += cost.address_space;
    }
  }
}

void Team::fail(std::exception_ptr error) noexcept {
  std::lock_guard<std::mutex> lock(helpers_->mutex);
  if (!error_) error_ = std::move(error);
  stop_.store(true, std::memory_order_relaxed);
}

void Team::take_units(unsigned slot) {
  while (!stop_.load(std::memory_order_relaxed)) {
    const std::size_t unit = next_.fetch_add(1, std::memory_order_relaxed);
    if (unit >= units_) return;
    try {
      task_(ctx_, unit, slot);
    } catch (...) {
      fail(std::current_exception());
      return;
    }
  }
}

void Team::helper(unsigned slot) {
  // Made now rather than at the first throw, when memory may be exhausted.
  platform::prepare_exception_state();
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(helpers_->mutex);
  for (;;) {
    helpers_->wake.wait(lock, [&] { return shutdown_ || generation_ != seen; });
    if (shutdown_) return;
    seen = generation_;
    if (slot > taking_part_) continue;
    lock.unlock();
    take_units(slot);
    lock.lock();
    if (--active_ == 0) helpers_->idle.notify_one();
  }
}

bool Team::caller_takes_units(std::size_t units, Task task, void* ctx) {
  while (!stop_.load(std::memory_order_relaxed)) {
    bool interrupted = false;
    std::exception_ptr raised;
    try {
      interrupted = interrupt_ && interrupt_->requested();
    } catch (...) {
      raised = std::current_exception();
    }
    if (forked()) {
      // A child forked by the Interrupt's code: the units the helpers took
      // are lost, and nothing of theirs may be waited on.
      if (raised) std::rethrow_exception(raised);
      if (interrupted) throw base::Interrupted{};
      throw base::Forked{};
    }
    if (raised) {
      fail(std::move(raised));
      return false;
    }
    if (interrupted) {
      stop_.store(true, std::memory_order_relaxed);
      return true;
    }
    const std::size_t unit = next_.fetch_add(1, std::memory_order_relaxed);
    if (unit >= units) return false;
    try {
      task(ctx, unit, 0);
    } catch (...) {
      fail(std::current_exception());
      return false;
    }
  }
  return false;
}

void Team::dispatch(std::size_t units, unsigned helpers, Task task, void* ctx) {
  if (forked()) helpers = 0;
  if (helpers > 0) {
    start_helpers(helpers);
    helpers = std::min(helpers, static_cast<unsigned>(helpers_->threads.size()));
  }
  if (helpers == 0) {
    for (std::size_t unit = 0; unit < units; ++unit) {
      poll();
      task(ctx, unit, 0);
    }
    return;
  }
  {
    std::lock_guard<std::mutex> lock(helpers_->mutex);
    task_ = task;
    ctx_ = ctx;
    units_ = units;
    next_.store(0, std::memory_order_relaxed);
    stop_.store(false, std::memory_order_relaxed);
    error_ = nullptr;
    taking_part_ = helpers;
    active_ = helpers;
    ++generation_;
  }
  helpers_->wake.notify_all();

  const bool interrupted = caller_takes_units(units, task, ctx);

  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(helpers_->mutex);
    helpers_->idle.wait(lock, [&] { return active_ == 0; });
    error = std::move(error_);
    error_ = nullptr;
  }
  if (error) std::rethrow_exception(error);
  if (interrupted) throw base::Interrupted{};
}

}  // namespace velkor::algo::detail
