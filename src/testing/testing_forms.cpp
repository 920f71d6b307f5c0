// Number forms, the elapsed-time split, the stdout writer and the failure path.
#include <cstdint>
#include <string>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "runtime/failure.h"
#include "runtime/number_forms.h"
#include "runtime/progress_log.h"
#include "testing/registry.h"

namespace vica::testing {
namespace {

using py::fastcall_args;
using py::guarded;
using py::parse;
using py::Signature;

PyObject* text_result(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* t_fmt_plain(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "fmt_plain", {"x"}};
    double x;
    if (!parse(sig, fastcall_args(args, n, kw), x)) return nullptr;
    return text_result(fmt_plain(x));
  });
}

PyObject* t_fmt_fixed(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"_vica_testing", "fmt_fixed", {"x", "digits"}};
    double x;
    std::uint64_t digits;
    if (!parse(sig, fastcall_args(args, n, kw), x, digits)) return nullptr;
    if (digits > 1000) throw vica::ValueError("digits must be at most 1000");
    return text_result(fmt_fixed(x, static_cast<int>(digits)));
  });
}

PyObject* t_fmt_debug(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "fmt_debug", {"x"}};
    double x;
    if (!parse(sig, fastcall_args(args, n, kw), x)) return nullptr;
    return text_result(fmt_debug(x));
  });
}

PyObject* t_fmt_list(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "fmt_list", {"xs"}};
    std::vector<double> xs;
    if (!parse(sig, fastcall_args(args, n, kw), xs)) return nullptr;
    return text_result(fmt_list(xs));
  });
}

PyObject* t_split_hms(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"_vica_testing", "split_hms", {"seconds", "nanoseconds"}};
    std::uint64_t secs, nanos;
    if (!parse(sig, fastcall_args(args, n, kw), secs, nanos)) return nullptr;
    if (nanos > 999999999) throw vica::ValueError("nanoseconds must be below 1e9");
    const Hms t = split_hms(secs, static_cast<std::uint32_t>(nanos));
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(t.h),
                         static_cast<unsigned long long>(t.m), static_cast<unsigned long long>(t.s));
  });
}

// Writes text through the process-wide progress writer.
PyObject* t_progress_print(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "progress_print", {"text"}};
    std::string text;
    if (!parse(sig, fastcall_args(args, n, kw), text)) return nullptr;
    ProgressLog::print(text);
    Py_RETURN_NONE;
  });
}

// Raises an internal failure with the given message (empty: no message).
PyObject* t_internal_failure(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "internal_failure", {"message"}};
    std::string message;
    if (!parse(sig, fastcall_args(args, n, kw), message)) return nullptr;
    fail(message);
  });
}

// Converts and returns a molecule, to exercise the shapes from Python.
PyObject* t_molecule(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> sig{"_vica_testing", "molecule", {"mol"}};
    Molecule mol;
    if (!parse(sig, fastcall_args(args, n, kw), mol)) return nullptr;
    py::PyRef out(PyList_New(static_cast<Py_ssize_t>(mol.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < mol.size(); ++i) {
      PyObject* site = Py_BuildValue("(ddd)", mol[i].x, mol[i].y, mol[i].z);
      if (site == nullptr) return nullptr;
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), site);
    }
    return out.release();
  });
}

int add(PyObject* module) {
  static PyMethodDef defs[] = {
      def<t_fmt_plain>("fmt_plain", "fmt_plain(x)\n--\n\n"),
      def<t_fmt_fixed>("fmt_fixed", "fmt_fixed(x, digits)\n--\n\n"),
      def<t_fmt_debug>("fmt_debug", "fmt_debug(x)\n--\n\n"),
      def<t_fmt_list>("fmt_list", "fmt_list(xs)\n--\n\n"),
      def<t_split_hms>("split_hms", "split_hms(seconds, nanoseconds)\n--\n\n"),
      def<t_progress_print>("progress_print", "progress_print(text)\n--\n\n"),
      def<t_internal_failure>("internal_failure", "internal_failure(message)\n--\n\n"),
      def<t_molecule>("molecule", "molecule(mol)\n--\n\n"),
  };
  return add_functions(module, defs);
}

Registration reg(add);

}  // namespace
}  // namespace vica::testing
