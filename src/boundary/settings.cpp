// Settings the environment gives velkor, checked where the caller can be told of a bad one.
#include "boundary/settings.hpp"

#include <atomic>
#include <cstdlib>

#include "algo/parallel.hpp"
#include "boundary/error.hpp"
#include "boundary/python.hpp"
#include "boundary/ref.hpp"
#include "platform/cpu_count.hpp"

namespace velkor::boundary {

namespace {
std::atomic<bool> warned{false};
}  // namespace

void check_thread_setting() {
  if (warned.load(std::memory_order_relaxed)) return;
  const char* text = std::getenv("VELKOR_NUM_THREADS");
  if (!text || !*text || algo::detail::parse_thread_cap(text) != 0) return;
  if (warned.exchange(true)) return;
  const Ref value = Ref::steal(PyUnicode_DecodeFSDefault(text));
  if (!value) throw_fetched();
  if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                       "VELKOR_NUM_THREADS=%R is not a positive integer: it is ignored, and calls use "
                       "the %u CPUs this process can use",
                       value.get(), platform::usable_cpus()) < 0)
    throw_fetched();
}

}  // namespace velkor::boundary
