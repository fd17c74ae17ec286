// The interpreter lock during a long call: released for the computation, offered while a result is built, Ctrl-C checks.
#include "boundary/lock_sharing.hpp"

#include <cstring>
#include <mutex>

#include "boundary/panic.hpp"
#include "platform/thread_identity.hpp"

namespace velkor::boundary {

namespace {

using Clock = std::chrono::steady_clock;

// How often a computation on the main thread looks for pending signals.
constexpr auto kSignalPeriod = std::chrono::milliseconds(100);

// The sys module's own getswitchinterval as found at import: the
// interpreter's C function and the sys module it belongs to, kept for the
// life of the process. Called directly, it runs no Python code, whatever
// sys.getswitchinterval has been replaced with since. Null when sys held
// anything else at import.
PyCFunction switch_interval_reader = nullptr;
PyObject* switch_interval_module = nullptr;

constexpr double kDefaultSwitchInterval = 0.005;

// The interpreter's switch interval, or 5 ms when its reader was not found
// at import. Throws what reading it raises.
[[maybe_unused]] Clock::duration switch_interval() {
  double seconds = kDefaultSwitchInterval;
  if (switch_interval_reader) {
    Ref value = Ref::steal(switch_interval_reader(switch_interval_module, nullptr));
    if (!value) throw_fetched();
    const double read = PyFloat_AsDouble(value.get());
    if (read == -1.0 && PyErr_Occurred()) throw_fetched();
    if (read > 0) seconds = read;
  }
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// How often a long loop that holds the lock offers it. Without the lock (a
// free-threaded interpreter) no thread waits for it, but a thread that
// stays attached holds up every pause that stops the world (the collector's
// among them): such a loop detaches every millisecond.
#ifdef Py_GIL_DISABLED
Clock::duration offer_period() { return std::chrono::milliseconds(1); }

#else
Clock::duration offer_period() { return 2 * switch_interval(); }
#endif

}  // namespace

void remember_switch_interval() {
  if (switch_interval_reader) return;
  PyObject* get = PySys_GetObject("getswitchinterval");  // borrowed; sets no error
  if (!get || !PyCFunction_Check(get) || (PyCFunction_GET_FLAGS(get) & METH_NOARGS) == 0) return;
  PyObject* module = PyCFunction_GET_SELF(get);  // borrowed
  if (!module || !PyModule_Check(module)) return;
  const char* name = PyModule_GetName(module);
  if (!name) {
    PyErr_Clear();
    return;
  }
  if (std::strcmp(name, "sys") != 0 ||
      std::strcmp(reinterpret_cast<PyCFunctionObject*>(get)->m_ml->ml_name, "getswitchinterval") != 0)
    return;
  switch_interval_module = Py_NewRef(module);
  switch_interval_reader = PyCFunction_GET_FUNCTION(get);
}

// The main thread of a Python process is its initial thread.
bool on_main_thread() noexcept { return platform::on_initial_thread(); }

SignalCheck::SignalCheck(LockReleased& released) noexcept
    : released_(released), next_check_(Clock::now() + kSignalPeriod) {}

bool SignalCheck::requested() {
  if (raised_) return true;
  if (Clock::now() < next_check_) return false;
  {
    LockRetaken retaken(released_);
    if (PyErr_CheckSignals() < 0) raised_ = fetch();
  }
  next_check_ = Clock::now() + kSignalPeriod;
  return raised_.has_value();
}

PyErr SignalCheck::take() {
  if (!raised_) panic("computation stopped without a pending signal");
  PyErr error = std::move(*raised_);
  raised_.reset();
  return error;
}

#ifdef Py_GIL_DISABLED
namespace {
// Builds under way in the process, and whether the first of them found the
// collector enabled (and so the last gives it back).
std::mutex pause_mutex;
int pausing_builds = 0;
bool collector_was_enabled = false;
}  // namespace

CollectorPause::CollectorPause() noexcept {
  std::lock_guard<std::mutex> lock(pause_mutex);
  if (pausing_builds++ == 0) collector_was_enabled = PyGC_Disable() != 0;
}

CollectorPause::~CollectorPause() {
  std::lock_guard<std::mutex> lock(pause_mutex);
  if (--pausing_builds == 0 && collector_was_enabled) PyGC_Enable();
}
#endif

PyErr forked_error() {
  return PyErr::new_err(PyExc_RuntimeError,
                        "the process was forked while velkor computed on several threads; "
                        "the call cannot finish in the child process");
}

void LockSharing::check() {
  countdown_ = kStride;
  if (offer_lock_) {
    const Clock::time_point now = Clock::now();
    // A thread waiting for the lock asks for it only when a whole switch
    // interval passes without the lock being let go; until it has asked, a
    // release merely wakes it, and this thread takes the lock back first.
    // Each offer restarts that wait, so offers one interval apart would
    // keep the other thread from ever asking, and it would run only when
    // it happened to win the race. Two intervals apart, its request is in
    // by the next offer, and that offer hands the lock over.
    if (!started_) {
      started_ = true;
      period_ = offer_period();
      next_offer_ = now + period_;
    } else if (now >= next_offer_) {
      { LockReleased offered; }
      next_offer_ = Clock::now() + period_;
    }
  }
  // A handler's exception is the caller's own, not an argument's error.
  if (PyErr_CheckSignals() < 0) throw fetch().unchanged();
}

}  // namespace velkor::boundary
