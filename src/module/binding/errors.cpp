#include "module/binding/errors.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "module/binding/pyref.h"
#include "runtime/failure.h"

namespace vica::py {
namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code of vica fails in a way it cannot recover from.\n\n"
    "Like SystemExit, this exception derives from BaseException rather than Exception,\n"
    "so that a broad `except Exception:` does not swallow it and it usually ends the\n"
    "program.";

constexpr const char* kGenericMessage = "vica: native code failed without a message";

void write_stderr(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t w = ::write(2, text.data() + done, text.size() - done);
    if (w <= 0) return;  // nothing more can be done about a broken stderr
    done += static_cast<std::size_t>(w);
  }
}

std::string current_thread_name() {
  if (static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid()) return "main";
  char name[64] = {0};
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0') return name;
  return "<unnamed>";
}

// Source paths are shown from the project's src/ folder on.
const char* short_path(const char* path) {
  if (path == nullptr) return "<unknown>";
  const char* p = std::strstr(path, "src/");
  return p != nullptr ? p : path;
}

thread_local bool raising_panic = false;

void raise_panic(const std::string& message, const char* file, unsigned line, unsigned column) {
  if (raising_panic) {
    write_stderr("uncaught panic at ffi boundary\n");
    std::abort();
  }
  raising_panic = true;
  const std::string text = message.empty() ? std::string(kGenericMessage) : message;
  std::string diag = "\nthread '" + current_thread_name() + "' failed at " + short_path(file);
  if (file != nullptr) diag += ":" + std::to_string(line) + ":" + std::to_string(column);
  diag += ":\n" + text +
          "\nnote: to get a backtrace, run under gdb with `catch throw` (the failure is a C++ "
          "exception)\n";
  write_stderr(diag);
  PyObject* cls = panic_exception_class();
  if (cls != nullptr) {
    PyRef arg(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (arg) PyErr_SetObject(cls, arg.get());
  }
  raising_panic = false;
}

}  // namespace

PyObject* panic_exception_class() {
  // Created once per process under the interpreter lock; never released.
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                    PyExc_BaseException, nullptr);
  }
  return cls;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
  } catch (const InternalFailure& f) {
    raise_panic(f.message(), f.file(), f.line(), f.column());
  } catch (const vica::ValueError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const vica::RuntimeError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const vica::MemoryError& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const vica::FloatingPointError& e) {
    PyErr_SetString(PyExc_FloatingPointError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what(), nullptr, 0, 0);
  } catch (...) {
    raise_panic("", nullptr, 0, 0);
  }
}

}  // namespace vica::py
