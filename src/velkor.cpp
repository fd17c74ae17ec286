// Module root: the module definition and entry point, the function table and the module functions.
#include <atomic>
#include <cstdint>

#include "boundary/bind.hpp"
#include "boundary/error.hpp"
#include "boundary/frame.hpp"
#include "boundary/panic.hpp"
#include "boundary/lock_sharing.hpp"
#include "boundary/settings.hpp"
#include "convert/int_keyed.hpp"
#include "convert/label_keyed.hpp"
#include "convert/result_cost.hpp"
#include "algo/floyd_warshall.hpp"
#include "algo/nearest_common_descendant.hpp"
#include "base/hashing.hpp"
#include "platform/cpu_count.hpp"
#include "platform/fork_count.hpp"
#include "platform/memory_room.hpp"
#include "platform/simd_dispatch.hpp"

namespace velkor {
namespace {

using boundary::FunctionDescription;
using boundary::PyErr;
using boundary::Ref;

// ---- module functions ------------------------------------------------------

const char* const kEdgesParameters[] = {"edges"};
const char* const kDistancesParameters[] = {"distances", "extreme"};

constexpr FunctionDescription kFloydWarshallU32{"floyd_warshall_u32", kEdgesParameters, 1, 1};
constexpr FunctionDescription kFloydWarshall{"floyd_warshall", kEdgesParameters, 1, 1};
constexpr FunctionDescription kNearestCommonDescendantU32{"nearest_common_descendant_u32",
                                                          kDistancesParameters, 2, 2};
constexpr FunctionDescription kNearestCommonDescendant{"nearest_common_descendant",
                                                       kDistancesParameters, 2, 2};

// Converts a bound argument, giving its errors the parameter's name.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (PyErr& error) {
    throw boundary::argument_extraction_error(name, std::move(error));
  }
}

// ---- operations: the computations, run with the interpreter lock released --

// Each call has one memory budget, made before the dict is read: the input's
// edge list and node numbering are charged first, then the computation's
// storage, then what the result dict will cost, priced by `cost` (its nodes
// are new ints, integer-keyed, or the caller's objects, label-keyed).
using convert::DictResultCost;
using Nodes = DictResultCost::Nodes;

base::PathRows floyd_warshall_u32(base::Graph graph, base::MemoryBudget& budget, const DictResultCost& cost) {
  budget.set_cost(cost);
  budget.charge(convert::kOutputBuilderBytes);
  boundary::check_thread_setting();
  return boundary::run_unlocked(base::Resources{&budget}, [&](const base::Resources& resources) {
    return algo::floyd_warshall(std::move(graph), resources);
  });
}

base::SquareRows nearest_common_descendant_u32(base::Graph graph, base::Weight extreme,
                                               base::MemoryBudget& budget, const DictResultCost& cost) {
  budget.set_cost(cost);
  budget.charge(convert::kOutputBuilderBytes);
  boundary::check_thread_setting();
  return boundary::run_unlocked(base::Resources{&budget}, [&](const base::Resources& resources) {
    return algo::nearest_common_descendant(std::move(graph), extreme, resources);
  });
}

// ---- bodies -------------------------------------------------------------------

Ref floyd_warshall_u32_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];  // borrowed
  boundary::extract_arguments_fastcall(kFloydWarshallU32, args, nargs, kwnames, slots);
  base::MemoryBudget budget;
  convert::IntKeyed input =
      convert_argument("edges", [&] { return convert::matrix_from_dict(slots[0], budget); });
  const DictResultCost cost(Nodes::new_ints, DictResultCost::Values::any);
  const base::PathRows rows = floyd_warshall_u32(std::move(input.graph), budget, cost);
  return convert::matrix_into_dict(rows, input.nodes, budget);
}

// The dict argument of a label-keyed function: its type is checked before
// anything else; its contents are read later.
PyObject* label_keyed_dict(const char* name, PyObject* obj) {
  if (!PyDict_Check(obj))
    throw boundary::argument_extraction_error(name, PyErr::downcast(obj, "PyDict"));
  return obj;
}

Ref floyd_warshall_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];  // borrowed
  boundary::extract_arguments_fastcall(kFloydWarshall, args, nargs, kwnames, slots);
  PyObject* edges = label_keyed_dict("edges", slots[0]);
  base::MemoryBudget budget;
  convert::LabelKeyed input = convert::from_tuples_matrix(edges, budget);
  const DictResultCost cost(Nodes::caller_objects, DictResultCost::Values::any);
  const base::PathRows rows = floyd_warshall_u32(std::move(input.graph), budget, cost);
  return convert::into_tuples_matrix(rows, std::move(input.labels), budget);
}

Ref nearest_common_descendant_u32_body(PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  PyObject* slots[2];  // borrowed
  boundary::extract_arguments_fastcall(kNearestCommonDescendantU32, args, nargs, kwnames, slots);
  base::MemoryBudget budget;
  convert::IntKeyed input =
      convert_argument("distances", [&] { return convert::matrix_from_dict(slots[0], budget); });
  const base::Weight extreme =
      convert_argument("extreme", [&] { return convert::extract_u32(slots[1]); });
  const DictResultCost cost(Nodes::new_ints, convert::values_up_to(extreme));
  const base::SquareRows rows = nearest_common_descendant_u32(std::move(input.graph), extreme, budget, cost);
  return convert::matrix_into_dict(rows, input.nodes, budget);
}

Ref nearest_common_descendant_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[2];  // borrowed
  boundary::extract_arguments_fastcall(kNearestCommonDescendant, args, nargs, kwnames, slots);
  PyObject* distances = label_keyed_dict("distances", slots[0]);
  const base::Weight extreme =
      convert_argument("extreme", [&] { return convert::extract_u32(slots[1]); });
  base::MemoryBudget budget;
  convert::LabelKeyed input = convert::from_tuples_matrix(distances, budget);
  const DictResultCost cost(Nodes::caller_objects, convert::values_up_to(extreme));
  const base::SquareRows rows = nearest_common_descendant_u32(std::move(input.graph), extreme, budget, cost);
  return convert::into_tuples_matrix(rows, std::move(input.labels), budget);
}

template <Ref (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
  return boundary::trampoline([&] { return Body(args, nargs, kwnames); });
}

// ---- function table --------------------------------------------------------

// Method records live for the whole process: function objects point to them.
PyMethodDef kMethods[] = {
    {"floyd_warshall_u32", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                               &entry<floyd_warshall_u32_body>)),
     METH_FASTCALL | METH_KEYWORDS, "floyd_warshall_u32(edges)\n--\n\n"},
    {"floyd_warshall", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                           &entry<floyd_warshall_body>)),
     METH_FASTCALL | METH_KEYWORDS, "floyd_warshall(edges)\n--\n\n"},
    {"nearest_common_descendant_u32",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         &entry<nearest_common_descendant_u32_body>)),
     METH_FASTCALL | METH_KEYWORDS, "nearest_common_descendant_u32(distances, extreme)\n--\n\n"},
    {"nearest_common_descendant",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
         &entry<nearest_common_descendant_body>)),
     METH_FASTCALL | METH_KEYWORDS, "nearest_common_descendant(distances, extreme)\n--\n\n"},
};

// ---- module creation -------------------------------------------------------

// What the computations read once per process is read now, with the lock
// held, never lazily while a computation runs: another thread may fork at
// any moment then, and a one-time initialisation under way in the parent
// would never finish in the child, whose first call would wait for it.
void prepare_process_state() noexcept {
  platform::prepare_fork_count();
  platform::prepare_cpu_count();
  platform::prepare_memory_room();
  platform::prepare_simd_level();
  (void)base::process_hash_key();
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velkor",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_cell = nullptr;  // the one module object, never released

// "__all__" and "__name__", interned once and kept.
PyObject* interned(PyObject*& cell, const char* text) {
  if (!cell) {
    PyObject* s = PyUnicode_FromString(text);
    if (!s) boundary::panic_after_error();
    PyUnicode_InternInPlace(&s);
    if (!s) boundary::panic_after_error();
    cell = s;
  }
  return cell;
}
PyObject* all_name_cell = nullptr;
PyObject* name_name_cell = nullptr;

// The module's __all__ list, created on first use.
Ref all_list(PyObject* module) {
  PyObject* all_name = interned(all_name_cell, "__all__");
  if (Ref all = Ref::steal(PyObject_GetAttr(module, all_name))) return all;
  PyErr error = boundary::fetch();
  if (!PyErr_GivenExceptionMatches(error.value(), PyExc_AttributeError)) throw std::move(error);
  Ref all = Ref::steal(PyList_New(0));
  if (!all) boundary::panic_after_error();
  if (PyObject_SetAttr(module, all_name, all.get()) < 0) boundary::throw_fetched();
  return all;
}

void add_function(PyObject* module, PyMethodDef* record) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) boundary::throw_fetched();
  Ref function = Ref::steal(PyCMethod_New(record, module, module_name.get(), nullptr));
  if (!function) boundary::throw_fetched();
  module_name.reset();

  Ref name = Ref::steal(PyObject_GetAttr(function.get(), interned(name_name_cell, "__name__")));
  if (!name) boundary::throw_fetched();
  Ref all = all_list(module);
  if (PyList_Append(all.get(), name.get()) < 0)
    boundary::panic("could not append __name__ to __all__: " + boundary::fetch().render());
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) boundary::throw_fetched();
}

Ref make_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) boundary::throw_fetched();
  std::int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id)
    throw PyErr::new_err(PyExc_ImportError,
                         "velkor does not support sub-interpreters; import it in the main "
                         "interpreter only");
  if (module_cell) return Ref::borrow(module_cell);

  Ref module = Ref::steal(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  if (!module) boundary::throw_fetched();
#ifdef Py_GIL_DISABLED
  // Every call is safe without the interpreter lock: the input is read
  // under the dict's critical section, and what calls share (the memory
  // ledger, the state below) is atomic, locked or made here.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) boundary::throw_fetched();
#endif
  boundary::remember_switch_interval();
  (void)boundary::panic_exception_type();
  prepare_process_state();
  for (PyMethodDef& record : kMethods) add_function(module.get(), &record);
  if (!module_cell) module_cell = module.release();
  return Ref::borrow(module_cell);
}

}  // namespace
}  // namespace velkor

// PyMODINIT_FUNC makes it extern "C" and exported.
PyMODINIT_FUNC PyInit_velkor() {
  return velkor::boundary::trampoline([] { return velkor::make_module(); });
}
