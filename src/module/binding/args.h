// Argument matching and conversion, written once for every operation.
//
// An operation declares its parameters (class name, function name, parameter
// names); the C++ type of each output chooses its conversion:
//   double               float conversion (float, int, __float__, __index__)
//   std::uint64_t        int directly, anything else through __index__
//   std::string          str only, as UTF-8
//   std::vector<double>  any non-str sequence, items as floats
//   Site                 sequence of exactly three floats
//   Molecule             non-str sequence of sites
//   SitePairTable        non-str sequence of non-str sequences of PotK
//   FiniteMolecule       a Molecule whose coordinates are all finite (the
//                        molecules that Uij, Bms and Cms keep)
//
//   static constexpr Signature<4> kRun{"Bms", "run", {"t_kelvin", "u_min", "dev_tol", "order_max"}};
//   double t, u, d; std::uint64_t m;
//   if (!parse(kRun, fastcall_args(args, nargsf, kwnames), t, u, d, m)) return nullptr;
//
// Matching follows the interpreter's rules and messages (too many positional
// arguments, then keywords in the order given, then the missing ones); the
// arguments are then converted in declaration order and the first failure is
// reported, a TypeError with the prefix "argument 'name': ".  Memory that
// cannot be had while an argument is read is a MemoryError naming it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/binding/pyref.h"
#include "uij/molecule.h"

namespace vica::py {

// A molecule that an instance keeps: a NaN or infinite coordinate would give
// finite, plausible but wrong energies (a clamped distance), so it is refused
// with ValueError "name: site i has a non-finite coordinate (nan)".
struct FiniteMolecule {
  Molecule sites;
};

template <std::size_t N>
struct Signature {
  const char* class_name;
  const char* func_name;
  std::array<const char*, N> names;
};

// The arguments of one call, in either calling convention.
struct CallArgs {
  PyObject* const* pos = nullptr;  // vectorcall: positional values
  PyObject* postuple = nullptr;    // tp_new / tp_call: tuple of positional values
  Py_ssize_t npos = 0;
  PyObject* kwnames = nullptr;  // vectorcall: tuple of names, values follow pos
  PyObject* kwdict = nullptr;   // tp_new / tp_call: dict of keyword arguments
};

CallArgs fastcall_args(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
CallArgs tuple_args(PyObject* args, PyObject* kwds);

// Fills slots[0..n) with new references in declaration order, or sets the
// matching TypeError and returns false.
bool match_arguments(const char* class_name, const char* func_name, const char* const* names,
                     std::size_t n, const CallArgs& call, PyRef* slots);

// Conversions: true on success, false with the Python error set.
bool convert(PyObject* obj, double& out);
bool convert(PyObject* obj, std::uint64_t& out);
bool convert(PyObject* obj, std::string& out);
bool convert(PyObject* obj, std::vector<double>& out);
bool convert(PyObject* obj, Site& out);
bool convert(PyObject* obj, Molecule& out);
// Defined by the PotK binding (it needs the PotK class).
bool convert(PyObject* obj, SitePairTable& out);

bool convert_finite(PyObject* obj, const char* name, FiniteMolecule& out);

// Re-raises a pending exactly-TypeError as "argument 'name': " + message,
// keeping its cause; any other error is left as it is.
void prefix_argument_error(const char* name);

// "'T' object is not an instance of 'target'" (or "'None' is not ...").
void raise_not_instance(PyObject* obj, const char* target);

// Bytes of memory the machine has (0 when unknown).
double physical_memory_bytes();

// Reserves room for `hint` items when that much memory can exist; a length
// that overstates what the sequence holds (or what any machine could hold)
// only skips the reservation, since the items are read by iteration anyway.
template <class T>
void reserve_hint(std::vector<T>& v, std::size_t hint) {
  if (hint == 0 || hint > v.max_size()) return;
  const double memory = physical_memory_bytes();
  if (memory > 0.0 && static_cast<double>(hint) * static_cast<double>(sizeof(T)) > memory) return;
  try {
    v.reserve(hint);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

// Reads a non-str sequence item by item, in iteration order, converting each
// item with `item(PyObject*, T&) -> bool`.
template <class T, class F>
bool convert_sequence(PyObject* obj, std::vector<T>& out, F item) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_not_instance(obj, "Sequence");
    return false;
  }
  std::vector<T> result;
  const Py_ssize_t hint = call_python([obj] { return PySequence_Size(obj); });
  if (hint < 0) {
    PyErr_Clear();  // the length only reserves space
  } else {
    reserve_hint(result, static_cast<std::size_t>(hint));
  }
  PyRef it(call_python([obj] { return PyObject_GetIter(obj); }));
  if (!it) return false;
  for (;;) {
    PyRef elem(call_python([&it] { return PyIter_Next(it.get()); }));
    if (!elem) break;
    T value{};
    if (!item(elem.get(), value)) return false;
    result.push_back(std::move(value));
  }
  if (PyErr_Occurred()) return false;
  out = std::move(result);
  return true;
}

// MemoryError "name: not enough memory to hold this argument".
void raise_argument_memory_error(const char* name);

namespace detail {
template <class T>
bool convert_one(PyObject* obj, const char* name, T& out) {
  if constexpr (std::is_same_v<T, FiniteMolecule>) {
    return convert_finite(obj, name, out);
  } else {
    (void)name;
    return convert(obj, out);
  }
}

template <class T>
bool convert_named(PyObject* obj, const char* name, T& out) {
  bool ok = false;
  try {
    ok = convert_one(obj, name, out);
  } catch (const std::bad_alloc&) {
    raise_argument_memory_error(name);
    return false;
  } catch (const std::length_error&) {
    raise_argument_memory_error(name);
    return false;
  }
  if (ok) return true;
  prefix_argument_error(name);
  return false;
}

template <class Slots, class Names, class... Ts, std::size_t... I>
bool convert_all(const Slots& slots, const Names& names, std::index_sequence<I...>, Ts&... outs) {
  return (convert_named(slots[I].get(), names[I], outs) && ...);
}
}  // namespace detail

template <std::size_t N, class... Ts>
bool parse(const Signature<N>& sig, const CallArgs& call, Ts&... outs) {
  static_assert(sizeof...(Ts) == N, "one output per parameter");
  std::array<PyRef, N == 0 ? 1 : N> slots;
  if (!match_arguments(sig.class_name, sig.func_name, sig.names.data(), N, call, slots.data())) {
    return false;
  }
  return detail::convert_all(slots, sig.names, std::index_sequence_for<Ts...>{}, outs...);
}

// A new list of the floats `values` (the result of a run); raises
// PythonErrorSet with the Python error set when memory runs out.
PyObject* float_list(const std::vector<double>& values);

}  // namespace vica::py
