// The random source as seen by the test suite: a generator class built from
// a given key, the raw ChaCha block and batch functions of every path, the
// ziggurat tables, and the calling thread's generator.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/classes.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "runtime/random_source.h"
#include "testing/registry.h"

namespace vica::testing {

// Conversions of the test arguments (found by argument-dependent lookup).
struct Key32 {
  std::array<std::uint8_t, 32> bytes{};
};

struct WordBytes {
  std::vector<std::uint32_t> words;
};

struct PathName {
  detail::ChachaPath path = detail::ChachaPath::portable;
};

bool read_bytes(PyObject* obj, char** data, Py_ssize_t* len) {
  if (!PyBytes_Check(obj)) {
    py::raise_not_instance(obj, "bytes");
    return false;
  }
  return PyBytes_AsStringAndSize(obj, data, len) == 0;
}

bool convert(PyObject* obj, Key32& out) {
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (!read_bytes(obj, &data, &len)) return false;
  if (len != 32) {
    PyErr_SetString(PyExc_ValueError, "a key is 32 bytes");
    return false;
  }
  std::memcpy(out.bytes.data(), data, 32);
  return true;
}

bool convert(PyObject* obj, WordBytes& out) {
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (!read_bytes(obj, &data, &len)) return false;
  if (len % 4 != 0) {
    PyErr_SetString(PyExc_ValueError, "words are given as a multiple of 4 bytes");
    return false;
  }
  out.words.resize(static_cast<std::size_t>(len / 4));
  std::memcpy(out.words.data(), data, static_cast<std::size_t>(len));
  return true;
}

namespace {

const char* path_name(detail::ChachaPath p) {
  switch (p) {
    case detail::ChachaPath::portable: return "portable";
    case detail::ChachaPath::avx2: return "avx2";
    case detail::ChachaPath::avx512: return "avx512";
  }
  return "?";
}

constexpr detail::ChachaPath kAllPaths[] = {detail::ChachaPath::portable, detail::ChachaPath::avx2,
                                            detail::ChachaPath::avx512};

}  // namespace

bool convert(PyObject* obj, PathName& out) {
  std::string name;
  if (!py::convert(obj, name)) return false;
  for (detail::ChachaPath p : kAllPaths) {
    if (name == path_name(p)) {
      if (!detail::chacha_path_available(p)) {
        PyErr_Format(PyExc_ValueError, "this processor cannot run the %s path", name.c_str());
        return false;
      }
      out.path = p;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown ChaCha path '%s'", name.c_str());
  return false;
}

namespace {

using Generator = std::unique_ptr<RandomSource>;
using Box = py::Boxed<Generator>;

RandomSource& generator(PyObject* self) { return *reinterpret_cast<Box*>(self)->value; }

PyObject* words_to_bytes(const std::uint32_t* words, std::size_t n) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(words),
                                   static_cast<Py_ssize_t>(4 * n));
}

void input_block(const Key32& key, std::uint64_t counter, std::uint64_t stream,
                 std::uint32_t* input) {
  static constexpr std::uint32_t kSigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
  std::memcpy(input, kSigma, sizeof kSigma);
  for (int k = 0; k < 8; ++k) {
    input[4 + k] = static_cast<std::uint32_t>(key.bytes[4 * k]) |
                   (static_cast<std::uint32_t>(key.bytes[4 * k + 1]) << 8) |
                   (static_cast<std::uint32_t>(key.bytes[4 * k + 2]) << 16) |
                   (static_cast<std::uint32_t>(key.bytes[4 * k + 3]) << 24);
  }
  input[12] = static_cast<std::uint32_t>(counter);
  input[13] = static_cast<std::uint32_t>(counter >> 32);
  input[14] = static_cast<std::uint32_t>(stream);
  input[15] = static_cast<std::uint32_t>(stream >> 32);
}

// ---------------------------------------------------------------------------
// class RandomSource(key)

PyObject* rs_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<1> kSig{"RandomSource", "__new__", {"key"}};
    Key32 key;
    if (!py::parse(kSig, py::tuple_args(args, kwds), key)) return nullptr;
    return py::new_boxed(type, std::make_unique<RandomSource>(key.bytes));
  });
}

PyObject* rs_next_u32(PyObject* self, PyObject*) {
  return py::guarded([&] { return PyLong_FromUnsignedLong(generator(self).next_u32()); });
}
PyObject* rs_next_u64(PyObject* self, PyObject*) {
  return py::guarded([&] { return PyLong_FromUnsignedLongLong(generator(self).next_u64()); });
}
PyObject* rs_uniform01(PyObject* self, PyObject*) {
  return py::guarded([&] { return PyFloat_FromDouble(generator(self).uniform01()); });
}
PyObject* rs_coin(PyObject* self, PyObject*) {
  return py::guarded([&] { return PyBool_FromLong(generator(self).coin() ? 1 : 0); });
}
PyObject* rs_open01(PyObject* self, PyObject*) {
  return py::guarded([&] { return PyFloat_FromDouble(generator(self).open01()); });
}
PyObject* rs_standard_normal(PyObject* self, PyObject*) {
  return py::guarded([&] { return PyFloat_FromDouble(generator(self).standard_normal()); });
}
PyObject* rs_block_counter(PyObject* self, PyObject*) {
  return py::guarded(
      [&] { return PyLong_FromUnsignedLongLong(generator(self).block_counter()); });
}
PyObject* rs_buffer_index(PyObject* self, PyObject*) {
  return py::guarded([&] { return PyLong_FromSize_t(generator(self).buffer_index()); });
}
PyObject* rs_key(PyObject* self, PyObject*) {
  return py::guarded([&] {
    const auto words = generator(self).key_words();
    return words_to_bytes(words.data(), words.size());
  });
}

// words(n): the next n 32-bit draws as little-endian bytes.
PyObject* rs_words(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<1> kSig{"RandomSource", "words", {"n"}};
    std::uint64_t n = 0;
    if (!py::parse(kSig, py::fastcall_args(args, nargsf, kwnames), n)) return nullptr;
    RandomSource& rng = generator(self);
    std::vector<std::uint32_t> out(n);
    for (auto& w : out) w = rng.next_u32();
    return words_to_bytes(out.data(), out.size());
  });
}

// standard_normals(n): a list of n standard_normal draws.
PyObject* rs_standard_normals(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<1> kSig{"RandomSource", "standard_normals", {"n"}};
    std::uint64_t n = 0;
    if (!py::parse(kSig, py::fastcall_args(args, nargsf, kwnames), n)) return nullptr;
    RandomSource& rng = generator(self);
    py::PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) throw py::PythonErrorSet{};
    for (std::uint64_t k = 0; k < n; ++k) {
      PyObject* v = PyFloat_FromDouble(rng.standard_normal());
      if (v == nullptr) throw py::PythonErrorSet{};
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), v);
    }
    return list.release();
  });
}

// overwrite_next_words(data): the next len(data) / 4 draws of words become
// the given little-endian words.
PyObject* rs_overwrite(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<1> kSig{"RandomSource", "overwrite_next_words", {"data"}};
    WordBytes data;
    if (!py::parse(kSig, py::fastcall_args(args, nargsf, kwnames), data)) return nullptr;
    generator(self).overwrite_next_words(data.words);
    Py_RETURN_NONE;
  });
}

#define VICA_FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef rs_methods[] = {
    {"next_u32", rs_next_u32, METH_NOARGS, nullptr},
    {"next_u64", rs_next_u64, METH_NOARGS, nullptr},
    {"uniform01", rs_uniform01, METH_NOARGS, nullptr},
    {"coin", rs_coin, METH_NOARGS, nullptr},
    {"open01", rs_open01, METH_NOARGS, nullptr},
    {"standard_normal", rs_standard_normal, METH_NOARGS, nullptr},
    {"block_counter", rs_block_counter, METH_NOARGS, nullptr},
    {"buffer_index", rs_buffer_index, METH_NOARGS, nullptr},
    {"key", rs_key, METH_NOARGS, nullptr},
    {"words", VICA_FAST(rs_words), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"standard_normals", VICA_FAST(rs_standard_normals), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"overwrite_next_words", VICA_FAST(rs_overwrite), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot rs_slots[] = {
    {Py_tp_doc, const_cast<char*>("RandomSource(key)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(rs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_boxed<Generator>)},
    {Py_tp_methods, rs_methods},
    {0, nullptr},
};

PyType_Spec rs_spec = {"_vica_testing.RandomSource", static_cast<int>(sizeof(Box)), 0,
                       Py_TPFLAGS_DEFAULT, rs_slots};

// ---------------------------------------------------------------------------
// Module functions

// chacha_block(key, counter, stream, rounds): one block as 64 bytes.
PyObject* fn_chacha_block(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<4> kSig{"", "chacha_block", {"key", "counter", "stream", "rounds"}};
    Key32 key;
    std::uint64_t counter = 0, stream = 0, rounds = 0;
    if (!py::parse(kSig, py::fastcall_args(args, nargsf, kwnames), key, counter, stream, rounds)) {
      return nullptr;
    }
    if (rounds % 2 != 0 || rounds > 64) throw ValueError("rounds must be even and at most 64");
    std::uint32_t input[16], out[16];
    input_block(key, counter, stream, input);
    detail::chacha_block_portable(input, static_cast<int>(rounds), out);
    return words_to_bytes(out, 16);
  });
}

// chacha_batch(path, key, counter): the eight ChaCha12 blocks (stream 0)
// from `counter` on, computed by the named path, as 512 bytes.
PyObject* fn_chacha_batch(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<3> kSig{"", "chacha_batch", {"path", "key", "counter"}};
    PathName path;
    Key32 key;
    std::uint64_t counter = 0;
    if (!py::parse(kSig, py::fastcall_args(args, nargsf, kwnames), path, key, counter)) {
      return nullptr;
    }
    std::uint32_t input[16];
    alignas(64) std::uint32_t out[128];
    std::memset(out, 0xA5, sizeof out);
    input_block(key, counter, 0, input);
    detail::chacha_batch_fn(path.path)(input, out);
    return words_to_bytes(out, 128);
  });
}

// chacha_paths(): the names of the paths this processor can run, best last.
PyObject* fn_chacha_paths(PyObject*, PyObject* const*, Py_ssize_t nargsf, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    (void)nargsf;
    py::PyRef list(PyList_New(0));
    if (!list) throw py::PythonErrorSet{};
    for (detail::ChachaPath p : kAllPaths) {
      if (!detail::chacha_path_available(p)) continue;
      py::PyRef name(PyUnicode_FromString(path_name(p)));
      if (!name || PyList_Append(list.get(), name.get()) < 0) throw py::PythonErrorSet{};
    }
    return list.release();
  });
}

// chacha_path(): (active, best) path names.
PyObject* fn_chacha_path(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    return Py_BuildValue("(ss)", path_name(detail::active_chacha_path()),
                         path_name(detail::best_chacha_path()));
  });
}

// set_chacha_path(path): the path every generator of this module uses from
// its next refill on.
PyObject* fn_set_chacha_path(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<1> kSig{"", "set_chacha_path", {"path"}};
    PathName path;
    if (!py::parse(kSig, py::fastcall_args(args, nargsf, kwnames), path)) return nullptr;
    detail::set_active_chacha_path(path.path);
    Py_RETURN_NONE;
  });
}

// ziggurat_tables(): (X, F) as lists of 257 floats.
PyObject* fn_ziggurat_tables(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    py::PyRef x(PyList_New(257));
    py::PyRef f(PyList_New(257));
    if (!x || !f) throw py::PythonErrorSet{};
    for (Py_ssize_t i = 0; i < 257; ++i) {
      PyObject* xi = PyFloat_FromDouble(detail::kZiggurat.x[i]);
      if (xi == nullptr) throw py::PythonErrorSet{};
      PyList_SetItem(x.get(), i, xi);
      PyObject* fi = PyFloat_FromDouble(detail::kZiggurat.f[i]);
      if (fi == nullptr) throw py::PythonErrorSet{};
      PyList_SetItem(f.get(), i, fi);
    }
    return PyTuple_Pack(2, x.get(), f.get());
  });
}

// thread_next_u64(): a draw from the calling thread's generator.
PyObject* fn_thread_next_u64(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    auto rng = RandomSource::for_current_thread();
    return PyLong_FromUnsignedLongLong(rng->next_u64());
  });
}

// thread_rng_info(): (address of the thread's generator, block_counter,
// buffer_index, key as bytes).
PyObject* fn_thread_rng_info(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    auto rng = RandomSource::for_current_thread();
    const auto key = rng->key_words();
    py::PyRef key_bytes(words_to_bytes(key.data(), key.size()));
    if (!key_bytes) throw py::PythonErrorSet{};
    return Py_BuildValue("(KKnO)", static_cast<unsigned long long>(
                                       reinterpret_cast<std::uintptr_t>(rng.get())),
                         static_cast<unsigned long long>(rng->block_counter()),
                         static_cast<Py_ssize_t>(rng->buffer_index()), key_bytes.get());
  });
}

// fail_entropy(errno, count): the next `count` reads of the operating
// system's entropy source fail with that error number.
PyObject* fn_fail_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return py::guarded([&]() -> PyObject* {
    static constexpr py::Signature<2> kSig{"", "fail_entropy", {"errno", "count"}};
    std::uint64_t err = 0, count = 0;
    if (!py::parse(kSig, py::fastcall_args(args, nargsf, kwnames), err, count)) return nullptr;
    detail::fail_entropy_for_testing(static_cast<int>(err), static_cast<int>(count));
    Py_RETURN_NONE;
  });
}

// A value of a new thread that is destroyed after the thread's generator.
struct ShutdownProbe {
  std::string* out = nullptr;
  ~ShutdownProbe() {
    if (out == nullptr) return;
    try {
      RandomSource::for_current_thread();
      *out = "";
    } catch (const InternalFailure& e) {
      *out = e.message();
    }
  }
};
thread_local ShutdownProbe t_probe;

// tls_access_during_shutdown(): the failure message met by a new thread that
// asks for its generator after the generator was destroyed at thread exit
// ("" when there was none).
PyObject* fn_tls_shutdown(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  return py::guarded([&]() -> PyObject* {
    std::string message = "(probe did not run)";
    std::thread worker([&message] {
      t_probe.out = &message;                           // constructed first, destroyed last
      RandomSource::for_current_thread()->next_u32();   // the generator's value comes next
    });
    worker.join();
    return PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  });
}

PyMethodDef module_functions[] = {
    {"chacha_block", VICA_FAST(fn_chacha_block), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"chacha_batch", VICA_FAST(fn_chacha_batch), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"chacha_paths", VICA_FAST(fn_chacha_paths), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"chacha_path", VICA_FAST(fn_chacha_path), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"set_chacha_path", VICA_FAST(fn_set_chacha_path), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"ziggurat_tables", VICA_FAST(fn_ziggurat_tables), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"thread_next_u64", VICA_FAST(fn_thread_next_u64), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"thread_rng_info", VICA_FAST(fn_thread_rng_info), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"fail_entropy", VICA_FAST(fn_fail_entropy), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"tls_access_during_shutdown", VICA_FAST(fn_tls_shutdown), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
};

int add_random(PyObject* module) {
  for (PyMethodDef& def : module_functions) {
    if (add_function(module, &def) != 0) return -1;
  }
  PyTypeObject* type = py::create_class(&rs_spec, nullptr, "RandomSource");
  if (type == nullptr) return -1;
  return PyObject_SetAttrString(module, "RandomSource", reinterpret_cast<PyObject*>(type));
}

Registration reg(add_random);

}  // namespace
}  // namespace vica::testing
