// vicatools._engine.bn_run_keyed: the run of bn_run drawing from a generator
// keyed by a seed instead of the operating system, so that equal seeds give
// equal results bit for bit.  The tools layer uses it to fingerprint the
// engine's numbers: a stored run is reused only by the engine revision that
// made it, and a fingerprint that changes without a new revision fails a test.
//
//   bn_run_keyed(seed, molecules, tables, t_kelvin, u_min, dev_tol, order_max,
//                block_steps, max_blocks, reference_weight,
//                hard_sphere_diameter, reference_padding) -> list of floats
//
// The arguments after the seed are those of bn_run (engine_module.cpp).
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "module/binding/pyref.h"
#include "runtime/failure.h"
#include "runtime/random_source.h"
#include "virial/bn.h"

namespace vica::py {
namespace {

using Entry = std::vector<double>;
using RawTable = std::vector<std::vector<Entry>>;

PotK keyed_potk_of(const Entry& e, std::size_t table, std::size_t row, std::size_t col) {
  const std::string where =
      "table " + std::to_string(table) + ", row " + std::to_string(row) + ", entry " + std::to_string(col);
  if (e.size() != 4) throw ValueError("bn_run_keyed(): " + where + " must be (tag, p0, p1, p2)");
  for (double p : e) {
    if (!std::isfinite(p)) throw ValueError("bn_run_keyed(): " + where + " has a non-finite number");
  }
  if (e[0] == 0.0) return PotK::r0();
  if (e[0] == 1.0) return PotK::r1(e[1]);
  if (e[0] == 2.0) return PotK::r6r12(e[1], e[2]);
  if (e[0] == 3.0) return PotK::r1r6r12(e[1], e[2], e[3]);
  throw ValueError("bn_run_keyed(): " + where + " has tag " + std::to_string(e[0]) + " (0 to 3 expected)");
}

// The 32 key bytes of a seed: the seed's eight bytes spread over the key.
RandomSource source_of(std::uint64_t seed) {
  std::array<std::uint8_t, 32> key{};
  for (std::size_t i = 0; i < key.size(); ++i) {
    key[i] = static_cast<std::uint8_t>(i * 53 + 7 + (seed >> (8 * (i % 8))));
  }
  RandomSource rng(key);
  rng.rekey_from_stream_for_testing();  // the whole stream follows from the seed
  return rng;
}

PyObject* bn_run_keyed_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 12> names{
        "seed",       "molecules",  "tables",           "t_kelvin",
        "u_min",      "dev_tol",    "order_max",        "block_steps",
        "max_blocks", "reference_weight", "hard_sphere_diameter", "reference_padding"};
    std::array<PyRef, 12> slots;
    const CallArgs call = fastcall_args(args, nargsf, kwnames);
    if (!match_arguments("_engine", "bn_run_keyed", names.data(), 12, call, slots.data())) return nullptr;
    std::uint64_t seed = 0;
    std::vector<Molecule> molecules;
    std::vector<RawTable> raw;
    BnOptions opt;
    if (!detail::convert_named(slots[0].get(), "seed", seed)) return nullptr;
    if (!convert_sequence(slots[1].get(), molecules, [](PyObject* item, Molecule& m) { return convert(item, m); })) {
      prefix_argument_error("molecules");
      return nullptr;
    }
    const bool tables_ok = convert_sequence(slots[2].get(), raw, [](PyObject* t, RawTable& table) {
      return convert_sequence(t, table, [](PyObject* r, std::vector<Entry>& row) {
        return convert_sequence(r, row, [](PyObject* e, Entry& entry) { return convert(e, entry); });
      });
    });
    if (!tables_ok) {
      prefix_argument_error("tables");
      return nullptr;
    }
    if (!detail::convert_named(slots[3].get(), "t_kelvin", opt.t_kelvin) ||
        !detail::convert_named(slots[4].get(), "u_min", opt.u_min) ||
        !detail::convert_named(slots[5].get(), "dev_tol", opt.dev_tol) ||
        !detail::convert_named(slots[6].get(), "order_max", opt.order_max) ||
        !detail::convert_named(slots[7].get(), "block_steps", opt.block_steps) ||
        !detail::convert_named(slots[8].get(), "max_blocks", opt.max_blocks) ||
        !detail::convert_named(slots[9].get(), "reference_weight", opt.reference_weight) ||
        !detail::convert_named(slots[10].get(), "hard_sphere_diameter", opt.hard_sphere_diameter) ||
        !detail::convert_named(slots[11].get(), "reference_padding", opt.reference_padding)) {
      return nullptr;
    }
    for (std::size_t m = 0; m < molecules.size(); ++m) {
      for (const Site& p : molecules[m]) {
        if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))) {
          throw ValueError("bn_run_keyed(): molecule " + std::to_string(m) + " has a non-finite coordinate");
        }
      }
    }
    std::vector<SitePairTable> tables(raw.size());
    for (std::size_t t = 0; t < raw.size(); ++t) {
      tables[t].resize(raw[t].size());
      for (std::size_t r = 0; r < raw[t].size(); ++r) {
        for (std::size_t c = 0; c < raw[t][r].size(); ++c) tables[t][r].push_back(keyed_potk_of(raw[t][r][c], t, r, c));
      }
    }
    const BnRecord rec = make_bn(std::move(molecules), std::move(tables));
    RandomSource rng = source_of(seed);
    return float_list(bn_run(rec, opt, rng));
  });
}

}  // namespace

PyMethodDef bn_run_keyed_def = {
    "bn_run_keyed",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bn_run_keyed_function)),
    METH_FASTCALL | METH_KEYWORDS,
    "bn_run_keyed(seed, molecules, tables, t_kelvin, u_min, dev_tol, order_max, block_steps, max_blocks, "
    "reference_weight, hard_sphere_diameter, reference_padding)\n--\n\n"
    "bn_run drawing from a generator keyed by `seed`: equal seeds give equal results."};

}  // namespace vica::py
