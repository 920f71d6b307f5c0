// The site-pair tables of the B_n walks as Python gives them, read into a
// BnRecord (used by the bn_run and bn_multi_run bindings and by the testing
// module).
//
//   tables      the n(n-1)/2 tables of the pairs (0,1), (0,2), ..., each a
//               sequence of rows, each row a sequence of flat entries: PotK's
//               laws as (tag, p0, p1, p2) with tag 0..3, or any law of
//               virial/site_law.h ((4, c1, ca, la, cr, lr), (5, c1, A, B, c6),
//               (6, index))
//   law_tables  the (r, u) tables that entries (6, index) name: each a
//               sequence of points (r, u), r increasing
//
// A record whose entries are all PotK's is made as before (PotK tables, the
// walks' vector kernels); any other law makes a record of site laws.
#pragma once

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "module/binding/args.h"
#include "module/binding/errors.h"
#include "runtime/failure.h"
#include "virial/bn.h"
#include "virial/site_law.h"

namespace vica::py {

using LawEntry = std::vector<double>;
using RawLawTable = std::vector<std::vector<LawEntry>>;
using RawPoints = std::vector<std::vector<double>>;

inline bool convert_bn_molecules(PyObject* obj, std::vector<Molecule>& out) {
  return convert_sequence(obj, out, [](PyObject* item, Molecule& m) { return convert(item, m); });
}

inline bool convert_law_tables(PyObject* obj, std::vector<RawLawTable>& out) {
  return convert_sequence(obj, out, [](PyObject* t, RawLawTable& table) {
    return convert_sequence(t, table, [](PyObject* r, std::vector<LawEntry>& row) {
      return convert_sequence(r, row, [](PyObject* e, LawEntry& entry) { return convert(e, entry); });
    });
  });
}

inline bool convert_point_tables(PyObject* obj, std::vector<RawPoints>& out) {
  return convert_sequence(obj, out, [](PyObject* t, RawPoints& points) {
    return convert_sequence(t, points, [](PyObject* e, std::vector<double>& p) { return convert(e, p); });
  });
}

// Refuses a molecule with a non-finite coordinate (ValueError naming it).
inline void check_bn_molecules(const char* fn, const std::vector<Molecule>& molecules) {
  for (std::size_t m = 0; m < molecules.size(); ++m) {
    for (std::size_t s = 0; s < molecules[m].size(); ++s) {
      const Site& p = molecules[m][s];
      if (!(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z))) {
        throw ValueError(std::string(fn) + "(): molecule " + std::to_string(m) + ", site " + std::to_string(s) +
                         " has a non-finite coordinate");
      }
    }
  }
}

// The record of `molecules` and the tables; ValueError naming the table, row
// and entry of a malformed entry.
inline BnRecord bn_record_of(const char* fn, std::vector<Molecule> molecules, const std::vector<RawLawTable>& raw,
                             const std::vector<RawPoints>& points) {
  std::vector<std::shared_ptr<const LawTable>> curves;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::string where = std::string(fn) + "(): law table " + std::to_string(i);
    std::vector<double> r, u;
    for (const std::vector<double>& p : points[i]) {
      if (p.size() != 2) throw ValueError(where + ": every point must be (r, u)");
      r.push_back(p[0]);
      u.push_back(p[1]);
    }
    curves.push_back(make_law_table(std::move(r), std::move(u), where));
  }
  bool all_potk = true;
  std::vector<SiteLawTable> laws(raw.size());
  for (std::size_t t = 0; t < raw.size(); ++t) {
    laws[t].resize(raw[t].size());
    for (std::size_t r = 0; r < raw[t].size(); ++r) {
      for (std::size_t c = 0; c < raw[t][r].size(); ++c) {
        const LawEntry& e = raw[t][r][c];
        const std::string where = std::string(fn) + "(): table " + std::to_string(t) + ", row " + std::to_string(r) +
                                  ", entry " + std::to_string(c);
        if (!e.empty() && !(e[0] >= 0.0 && e[0] <= 6.0 && e[0] == std::floor(e[0]))) {
          throw ValueError(where + " has tag " + std::to_string(e[0]) + " (0 to 6 expected)");
        }
        laws[t][r].push_back(site_law_from_entry(e, curves, where));
        all_potk = all_potk && laws[t][r].back().is_potk();
      }
    }
  }
  if (all_potk) {
    std::vector<SitePairTable> tables(laws.size());
    for (std::size_t t = 0; t < laws.size(); ++t) {
      tables[t].resize(laws[t].size());
      for (std::size_t r = 0; r < laws[t].size(); ++r) {
        for (const SiteLaw& law : laws[t][r]) tables[t][r].push_back(law.potk);
      }
    }
    return make_bn(std::move(molecules), std::move(tables));
  }
  return make_bn(std::move(molecules), std::move(laws));
}

}  // namespace vica::py
