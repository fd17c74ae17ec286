// Settings the environment gives velkor, checked where the caller can be told of a bad one.
#pragma once

namespace velkor::boundary {

// Warns (RuntimeWarning, once per process) when VELKOR_NUM_THREADS is set
// to something other than a positive integer, naming the value and the
// thread count used instead. Called with the interpreter lock held; throws
// the warning when the caller's warning filters turn it into an error.
void check_thread_setting();

}  // namespace velkor::boundary
