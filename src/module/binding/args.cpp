#include "module/binding/args.h"

#include <cmath>
#include <string>

#include <unistd.h>

#include "module/binding/errors.h"

namespace vica::py {
namespace {

std::string display_name(const char* class_name, const char* func_name) {
  return std::string(class_name) + "." + func_name + "()";
}

bool same_utf8(PyObject* name, const char* expected) {
  if (!PyUnicode_Check(name)) return false;
  return PyUnicode_CompareWithASCIIString(name, expected) == 0;
}

void raise_missing(const std::string& who, const char* const* names, std::size_t n,
                   const PyRef* slots) {
  std::size_t m = 0;
  for (std::size_t i = 0; i < n; ++i) m += slots[i] ? 0 : 1;
  std::string list;
  std::size_t k = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (slots[i]) continue;
    ++k;
    if (k > 1) {
      if (m == 2) {
        list += " and ";
      } else {
        list += k == m ? ", and " : ", ";
      }
    }
    list += "'";
    list += names[i];
    list += "'";
  }
  const std::string msg = who + " missing " + std::to_string(m) + " required positional " +
                          (m == 1 ? "argument" : "arguments") + ": " + list;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

// Places one keyword argument; false with the TypeError set when it repeats a
// filled slot or names no parameter.
bool place_keyword(const std::string& who, const char* const* names, std::size_t n, PyObject* key,
                   PyObject* value, PyRef* slots) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!same_utf8(key, names[i])) continue;
    if (slots[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", who.c_str(),
                   names[i]);
      return false;
    }
    slots[i] = PyRef::borrow(value);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", who.c_str(), key);
  return false;
}

}  // namespace

CallArgs fastcall_args(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  CallArgs call;
  call.pos = args;
  call.npos = static_cast<Py_ssize_t>(static_cast<std::size_t>(nargsf) &
                                      ~PY_VECTORCALL_ARGUMENTS_OFFSET);
  call.kwnames = kwnames;
  return call;
}

CallArgs tuple_args(PyObject* args, PyObject* kwds) {
  CallArgs call;
  call.postuple = args;
  call.npos = args != nullptr ? PyTuple_Size(args) : 0;
  call.kwdict = kwds;
  return call;
}

bool match_arguments(const char* class_name, const char* func_name, const char* const* names,
                     std::size_t n, const CallArgs& call, PyRef* slots) {
  const std::string who = display_name(class_name, func_name);
  const auto npos = static_cast<std::size_t>(call.npos);
  if (npos > n) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                 who.c_str(), n, npos, npos == 1 ? "was" : "were");
    return false;
  }
  for (std::size_t i = 0; i < npos; ++i) {
    PyObject* value = call.postuple != nullptr
                          ? PyTuple_GetItem(call.postuple, static_cast<Py_ssize_t>(i))
                          : call.pos[i];
    if (value == nullptr) return false;
    slots[i] = PyRef::borrow(value);
  }
  if (call.kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(call.kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(call.kwnames, k);
      if (key == nullptr) return false;
      if (!place_keyword(who, names, n, key, call.pos[call.npos + k], slots)) return false;
    }
  }
  if (call.kwdict != nullptr) {
    // Keys and values are held while they are placed: a key's comparison
    // cannot run user code, but holding them keeps the walk safe regardless.
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(call.kwdict, &pos, &key, &value)) {
      PyRef k = PyRef::borrow(key);
      PyRef v = PyRef::borrow(value);
      if (!place_keyword(who, names, n, k.get(), v.get(), slots)) return false;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!slots[i]) {
      raise_missing(who, names, n, slots);
      return false;
    }
  }
  return true;
}

bool convert(PyObject* obj, double& out) {
  const double v = call_python([obj] { return PyFloat_AsDouble(obj); });
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert(PyObject* obj, std::uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef(call_python([obj] { return PyNumber_Index(obj); }));
    if (!index) return false;
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool convert(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return false;
  }
  PyRef bytes(PyUnicode_AsUTF8String(obj));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &len) < 0) return false;
  out.assign(data, static_cast<std::size_t>(len));
  return true;
}

bool convert(PyObject* obj, std::vector<double>& out) {
  return convert_sequence(obj, out, [](PyObject* item, double& v) { return convert(item, v); });
}

bool convert(PyObject* obj, Site& out) {
  if (!PySequence_Check(obj)) {
    raise_not_instance(obj, "Sequence");
    return false;
  }
  const Py_ssize_t len = call_python([obj] { return PySequence_Size(obj); });
  if (len < 0) return false;
  if (len != 3) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length 3 (got %zd)", len);
    return false;
  }
  double xyz[3];
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyRef item(call_python([obj, i] { return PySequence_GetItem(obj, i); }));
    if (!item) return false;
    if (!convert(item.get(), xyz[i])) return false;
  }
  out = Site{xyz[0], xyz[1], xyz[2]};
  return true;
}

bool convert(PyObject* obj, Molecule& out) {
  return convert_sequence(obj, out, [](PyObject* item, Site& s) { return convert(item, s); });
}

bool convert_finite(PyObject* obj, const char* name, FiniteMolecule& out) {
  std::size_t index = 0;
  return convert_sequence(obj, out.sites, [name, &index](PyObject* item, Site& s) {
    if (!convert(item, s)) return false;
    for (const double c : {s.x, s.y, s.z}) {
      if (std::isfinite(c)) continue;
      const char* text = std::isnan(c) ? "nan" : c < 0.0 ? "-inf" : "inf";
      PyErr_Format(PyExc_ValueError, "%s: site %zu has a non-finite coordinate (%s)", name, index, text);
      return false;
    }
    ++index;
    return true;
  });
}

double physical_memory_bytes() {
  static const double bytes = [] {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 0.0;
    return static_cast<double>(pages) * static_cast<double>(page_size);
  }();
  return bytes;
}

void raise_argument_memory_error(const char* name) {
  PyErr_Format(PyExc_MemoryError, "%s: not enough memory to hold this argument", name);
}

void prefix_argument_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef owned_type(type), owned_value(value), owned_tb(tb);
  if (!owned_value || Py_TYPE(owned_value.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
    return;
  }
  PyRef text(PyObject_Str(owned_value.get()));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(owned_value.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, replacement.release(), nullptr);
}

void raise_not_instance(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  PyRef qualname(call_python([obj] {
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
  }));
  std::string type_name;
  if (!qualname || !convert(qualname.get(), type_name)) {
    PyErr_Clear();
    type_name = "<failed to extract type name>";
  }
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name.c_str(),
               target);
}

PyObject* float_list(const std::vector<double>& values) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) throw PythonErrorSet{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) throw PythonErrorSet{};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list.release();
}

}  // namespace vica::py
