// fenro._robust: the private helpers that let fenro.robust aggregate updates held in pieces
// (a model's state as one tensor per key) without concatenating them: the validation, the
// norms and distances, and the Krum selections, each the bits of the same computation on the
// concatenated updates (fenro/update/pieces.h). Their names start with an underscore and stay
// out of __all__.
//
// Every function takes `pieces`: an exact list or tuple of K `updates` arguments (each a
// sequence of n two-dimensional float32 arrays, or one three-dimensional array), piece p of
// update i being item i of the p-th; every piece lists the same number of updates.
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "args.h"
#include "errors.h"
#include "fenro/aggregators/centered_clipping.h"
#include "fenro/aggregators/geometric_median.h"
#include "fenro/aggregators/krum_rule.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/math/running_sums.h"
#include "fenro/pipeline/pieced_rules.h"
#include "fenro/update/pieces.h"
#include "fenro/update/range_scan.h"
#include "heap_type.h"
#include "numpy_api.h"
#include "register.h"
#include "rule_call.h"

namespace fenro::python {
namespace {

// The `pieces` argument, converted; the arrays are referenced until this object is destroyed.
class PieceList {
 public:
  // Converts every piece (copying arrays only where UpdateList would), then reads the views
  // into piece-major order. Returns false with an exception set.
  bool convert(PyObject* obj, const char* name) {
    if (!is_exact_sequence(obj)) {
      return raise_argument_error(name, cannot_convert(obj, kKindSequence));
    }
    if (!numpy::ensure_loaded()) return false;
    const bool list = PyList_CheckExact(obj);
    const Py_ssize_t k = list ? PyList_Size(obj) : PyTuple_Size(obj);
    for (Py_ssize_t p = 0; p < k; ++p) {
      lists_.push_back(std::make_unique<UpdateList>());
      PyObject* item = list ? PyList_GetItem(obj, p) : PyTuple_GetItem(obj, p);
      if (item == nullptr) return false;
      Py_INCREF(item);
      const Ref hold{item};
      if (!lists_.back()->convert_list_or_stack(item, name, false)) return false;
    }
    for (size_t p = 0; p < lists_.size(); ++p) {
      std::span<const UpdateView> v;
      if (!lists_[p]->views(name, &v)) return false;
      if (p == 0) count_ = v.size();
      if (v.size() != count_) {
        PyErr_SetString(PyExc_ValueError, "pieces hold different numbers of updates");
        return false;
      }
      views_.insert(views_.end(), v.begin(), v.end());
    }
    return true;
  }
  update::Pieces pieces() const { return update::Pieces(views_, count_); }
  std::span<const UpdateView> views() const { return views_; }

 private:
  std::vector<std::unique_ptr<UpdateList>> lists_;
  std::vector<UpdateView> views_;
  size_t count_ = 0;
};

// Parses (pieces, *, <optional keyword objects>) with `format`.
template <class... Objs>
bool parse(PyObject* args, PyObject* kwargs, const char* format, const char** kw,
           PyObject** pieces, Objs**... others) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kw), pieces,
                                     others...) != 0;
}

// None, or the first failure of the update validation of the concatenated updates.
PyObject* pieces_validate(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", nullptr};
    PyObject* py_pieces;
    if (!parse(args, kwargs, "O:_pieces_validate", kw, &py_pieces)) return nullptr;
    PieceList list;
    if (!list.convert(py_pieces, "pieces")) return nullptr;
    const update::Pieces pieces = list.pieces();
    std::vector<float> max_abs(pieces.count());
    const Status status = update::validate_pieces(pieces, max_abs.data());
    if (!status.ok()) return raise_fenro_error(status.error());
    Py_RETURN_NONE;
  });
}

// (norms, bad) as _screen gives them for the concatenated updates (one row each): every
// update's float64 norm, and (index, 0, coordinate, value) of the first NaN or infinity of each
// update that holds one. Pieces whose views differ in shape are DimensionMismatch.
PyObject* pieces_screen(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", nullptr};
    PyObject* py_pieces;
    if (!parse(args, kwargs, "O:_pieces_screen", kw, &py_pieces)) return nullptr;
    PieceList list;
    if (!list.convert(py_pieces, "pieces")) return nullptr;
    const update::Pieces pieces = list.pieces();
    const Status shapes = update::check_piece_shapes(pieces);
    if (!shapes.ok() && !shapes.error().get_if<error::EmptyUpdates>()) {
      return raise_fenro_error(shapes.error());
    }
    const size_t n = pieces.count();
    std::vector<double> norms(n);
    math::l2_norms_f64(pieces, norms.data());
    const Ref bad{PyList_New(0)};
    if (bad.p == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
      if (std::isfinite(norms[i])) continue;
      // Only an update with a non-finite norm holds a non-finite value; search it alone.
      update::RangeScan whole;
      for (size_t p = 0; p < pieces.piece_count() && !whole.first_non_finite; ++p) {
        const UpdateView& v = pieces.piece(p)[i];
        update::append_scan(whole, update::scan_range(v, 0, v.size()), pieces.offset(p));
      }
      if (!whole.first_non_finite) continue;  // unreachable, as in _screen
      const Ref item{Py_BuildValue("(nKKd)", static_cast<Py_ssize_t>(i), 0ULL,
                                   static_cast<unsigned long long>(*whole.first_non_finite),
                                   static_cast<double>(whole.value))};
      if (item.p == nullptr || PyList_Append(bad.p, item.p) < 0) return nullptr;
    }
    return Py_BuildValue("(NN)", from_doubles(norms), PyList_AsTuple(bad.p));
  });
}

// The float64 distance of every update to `point`, given as one 2-D float32 array per piece of
// that piece's shape: the bits of _distances on the concatenated updates and point.
PyObject* pieces_distances(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", "point", nullptr};
    PyObject *py_pieces, *py_point;
    if (!parse(args, kwargs, "OO:_pieces_distances", kw, &py_pieces, &py_point)) return nullptr;
    PieceList list;
    if (!list.convert(py_pieces, "pieces")) return nullptr;
    UpdateList point;
    if (!point.convert(py_point, "point", false)) return nullptr;
    std::span<const UpdateView> ref;
    if (!point.views("point", &ref)) return nullptr;
    const update::Pieces pieces = list.pieces();
    if (ref.size() != pieces.piece_count()) return raise_fenro_error(error::DimensionMismatch{});
    for (size_t p = 0; p < pieces.piece_count(); ++p) {
      for (const UpdateView& v : pieces.piece(p)) {
        if (!v.same_shape(ref[p])) return raise_fenro_error(error::DimensionMismatch{});
      }
    }
    std::vector<double> out(pieces.count());
    math::l2_distances_f64(pieces, ref, out.data());
    return from_doubles(out);
  });
}

// krum's selection: (index,), with krum's checks and messages.
PyObject* pieces_krum(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", "f", nullptr};
    PyObject *py_pieces, *py_f = nullptr;
    if (!parse(args, kwargs, "O|$O:_pieces_krum", kw, &py_pieces, &py_f)) return nullptr;
    if (py_f == nullptr) return missing_keyword("krum", "f");
    uint64_t f = 0;
    if (!to_count(py_f, "f", {"krum", 0, " with n >= 2f + 3"}, &f)) return nullptr;
    PieceList list;
    if (!list.convert(py_pieces, "updates")) return nullptr;
    auto selected = aggregators::krum_selection(list.pieces(), f);
    if (!selected.ok()) return raise_fenro_error(selected.error());
    return from_indices(*selected);
  });
}

// multi_krum's selection: the m indices, best score first, with multi_krum's checks.
PyObject* pieces_multi_krum(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", "f", "m", nullptr};
    PyObject *py_pieces, *py_f = nullptr, *py_m = nullptr;
    if (!parse(args, kwargs, "O|$OO:_pieces_multi_krum", kw, &py_pieces, &py_f, &py_m)) {
      return nullptr;
    }
    if (py_f == nullptr) return missing_keyword("multi_krum", "f");
    uint64_t f = 0;
    std::optional<uint64_t> m;
    if (!to_count(py_f, "f", {"multi_krum", 0, " with n >= 2f + 3"}, &f) ||
        !to_optional_count(py_m, "m", {"multi_krum", 1, " with m <= n - 2f - 2"}, &m)) {
      return nullptr;
    }
    PieceList list;
    if (!list.convert(py_pieces, "updates")) return nullptr;
    auto selected = aggregators::multi_krum_selection(list.pieces(), f, m);
    if (!selected.ok()) return raise_fenro_error(selected.error());
    return from_indices(*selected);
  });
}

// A tuple of arrays, one per piece, each taking over its buffer.
template <class T, PyObject* (*Convert)(T)>
PyObject* tuple_of(std::vector<T>& parts) {
  const Ref out{PyTuple_New(static_cast<Py_ssize_t>(parts.size()))};
  if (out.p == nullptr) return nullptr;
  for (size_t p = 0; p < parts.size(); ++p) {
    PyObject* a = Convert(std::move(parts[p]));
    if (a == nullptr) return nullptr;
    PyTuple_SetItem(out.p, static_cast<Py_ssize_t>(p), a);  // steals a
  }
  Py_INCREF(out.p);
  return out.p;
}

// Parses (pieces, *, <one parameter>) and converts the pieces.
bool parse_one(PyObject* args, PyObject* kwargs, const char* format, const char* param,
               PyObject** py_pieces, PyObject** py_param, const char* fn) {
  const char* kw[] = {"pieces", param, nullptr};
  if (!parse(args, kwargs, format, kw, py_pieces, py_param)) return false;
  if (*py_param == nullptr) {
    missing_keyword(fn, param);
    return false;
  }
  return true;
}

// clip on the pieces: (per-piece stacks, norms, factors), as clip_info.
PyObject* pieces_clip(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject *py_pieces, *py_c = nullptr;
    PieceList list;
    if (!parse_one(args, kwargs, "O|$O:_pieces_clip", "c", &py_pieces, &py_c, "clip")) {
      return nullptr;
    }
    double c = 0.0;
    if (!to_real(py_c, "c", &c) || !list.convert(py_pieces, "updates")) return nullptr;
    auto r = pipeline::pieced::clip(list.pieces(), c);
    if (!r.ok()) return raise_fenro_error(r.error());
    return Py_BuildValue("(NNN)", tuple_of<UpdateStack, from_stack>(r->clipped),
                         from_doubles(r->norms), from_doubles(r->factors));
  });
}

// arc on the pieces: (per-piece stacks, k, threshold, clipped indices, norms, factors).
PyObject* pieces_arc(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject *py_pieces, *py_f = nullptr;
    PieceList list;
    if (!parse_one(args, kwargs, "O|$O:_pieces_arc", "f", &py_pieces, &py_f, "arc")) {
      return nullptr;
    }
    uint64_t f = 0;
    if (!to_count(py_f, "f", {"arc", 0, " with 2f < n"}, &f) ||
        !list.convert(py_pieces, "updates")) {
      return nullptr;
    }
    auto r = pipeline::pieced::arc(list.pieces(), f);
    if (!r.ok()) return raise_fenro_error(r.error());
    return Py_BuildValue("(NKdNNN)", tuple_of<UpdateStack, from_stack>(r->clipped),
                         static_cast<unsigned long long>(r->k), r->threshold,
                         from_indices(r->clipped_indices), from_doubles(r->norms),
                         from_doubles(r->factors));
  });
}

// nnm on the pieces: (per-piece stacks, neighbours), as nnm_info.
PyObject* pieces_nnm(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject *py_pieces, *py_f = nullptr;
    PieceList list;
    if (!parse_one(args, kwargs, "O|$O:_pieces_nnm", "f", &py_pieces, &py_f, "nnm")) {
      return nullptr;
    }
    uint64_t f = 0;
    if (!to_count(py_f, "f", {"nnm", 0, " with 2f < n"}, &f) ||
        !list.convert(py_pieces, "updates")) {
      return nullptr;
    }
    auto r = pipeline::pieced::nnm(list.pieces(), f);
    if (!r.ok()) return raise_fenro_error(r.error());
    const size_t n = list.pieces().count(), keep = n - static_cast<size_t>(f);
    const Ref lists{PyTuple_New(static_cast<Py_ssize_t>(n))};
    if (lists.p == nullptr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
      std::vector<size_t> row(r->neighbours.begin() + static_cast<std::ptrdiff_t>(i * keep),
                              r->neighbours.begin() + static_cast<std::ptrdiff_t>((i + 1) * keep));
      PyObject* t = from_indices(row);
      if (t == nullptr) return nullptr;
      PyTuple_SetItem(lists.p, static_cast<Py_ssize_t>(i), t);
    }
    Py_INCREF(lists.p);
    return Py_BuildValue("(NN)", tuple_of<UpdateStack, from_stack>(r->mixed), lists.p);
  });
}

// bulyan on the pieces: (per-piece aggregates, selected), as bulyan_info.
PyObject* pieces_bulyan(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject *py_pieces, *py_f = nullptr;
    PieceList list;
    if (!parse_one(args, kwargs, "O|$O:_pieces_bulyan", "f", &py_pieces, &py_f, "bulyan")) {
      return nullptr;
    }
    uint64_t f = 0;
    if (!to_count(py_f, "f", {"bulyan", 0, " with n >= 4f + 3"}, &f) ||
        !list.convert(py_pieces, "updates")) {
      return nullptr;
    }
    auto r = pipeline::pieced::bulyan(list.pieces(), f);
    if (!r.ok()) return raise_fenro_error(r.error());
    return Py_BuildValue("(NN)", tuple_of<Matrix, from_matrix>(r->aggregate),
                         from_indices(r->selected));
  });
}

// median on the pieces: one result per piece.
PyObject* pieces_median(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", nullptr};
    PyObject* py_pieces;
    if (!parse(args, kwargs, "O:_pieces_median", kw, &py_pieces)) return nullptr;
    PieceList list;
    if (!list.convert(py_pieces, "updates")) return nullptr;
    auto r = aggregators::median(list.pieces());
    if (!r.ok()) return raise_fenro_error(r.error());
    return tuple_of<Matrix, from_matrix>(*r);
  });
}

// trimmed_mean on the pieces: one result per piece.
PyObject* pieces_trimmed_mean(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject *py_pieces, *py_trim = nullptr;
    if (!parse_one(args, kwargs, "O|$O:_pieces_trimmed_mean", "trim", &py_pieces, &py_trim,
                   "trimmed_mean")) {
      return nullptr;
    }
    float trim = 0.0f;
    PieceList list;
    if (!to_f32(py_trim, "trim", &trim, true) || !list.convert(py_pieces, "updates")) {
      return nullptr;
    }
    auto r = aggregators::trimmed_mean(list.pieces(), trim);
    if (!r.ok()) return raise_fenro_error(r.error());
    return tuple_of<Matrix, from_matrix>(*r);
  });
}

// geometric_median on the pieces: (aggregate of the concatenated shape, iterations, objective).
PyObject* pieces_geometric_median(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", "weights", "nu", "tol", "max_iter", nullptr};
    PyObject *py_pieces, *py_weights = nullptr, *py_nu = nullptr, *py_tol = nullptr,
                         *py_max_iter = nullptr;
    if (!parse(args, kwargs, "O|O$OOO:_pieces_geometric_median", kw, &py_pieces, &py_weights,
               &py_nu, &py_tol, &py_max_iter)) {
      return nullptr;
    }
    std::optional<std::vector<float>> weights;
    double nu = 1e-6, tol = 1e-7;
    uint64_t max_iter = 100;
    PieceList list;
    if (!to_f32_list(py_weights, "weights", &weights, true) ||
        (py_nu != nullptr && !to_real(py_nu, "nu", &nu)) ||
        (py_tol != nullptr && !to_real(py_tol, "tol", &tol)) ||
        (py_max_iter != nullptr &&
         !to_count(py_max_iter, "max_iter", {"geometric_median", 0, ""}, &max_iter)) ||
        !list.convert(py_pieces, "updates")) {
      return nullptr;
    }
    std::optional<std::span<const float>> w;
    if (weights) w = *weights;
    auto r = aggregators::geometric_median(list.pieces(), w, nu, tol, max_iter);
    if (!r.ok()) return raise_fenro_error(r.error());
    return Py_BuildValue("(NKd)", from_matrix(std::move(r->aggregate)),
                         static_cast<unsigned long long>(r->iterations), r->objective);
  });
}

// centered_clipping on the pieces, `center` of the concatenated shape (1, D): (aggregate of
// that shape, distances, factors).
PyObject* pieces_centered_clipping(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kw[] = {"pieces", "tau", "iterations", "center", nullptr};
    PyObject *py_pieces, *py_tau = nullptr, *py_iterations = nullptr, *py_center = nullptr;
    if (!parse(args, kwargs, "O|$OOO:_pieces_centered_clipping", kw, &py_pieces, &py_tau,
               &py_iterations, &py_center)) {
      return nullptr;
    }
    if (py_tau == nullptr) return missing_keyword("centered_clipping", "tau");
    double tau = 0.0;
    uint64_t iterations = 1;
    PieceList list;
    UpdateList center;
    const bool has_center = py_center != nullptr && py_center != Py_None;
    if (!to_real(py_tau, "tau", &tau) ||
        (py_iterations != nullptr &&
         !to_count(py_iterations, "iterations", {"centered_clipping", 1, ""}, &iterations)) ||
        !list.convert(py_pieces, "updates") ||
        (has_center && !center.convert_one(py_center, "center", false))) {
      return nullptr;
    }
    std::optional<UpdateView> c;
    if (has_center) {
      std::span<const UpdateView> views;
      if (!center.views("center", &views)) return nullptr;
      c = views[0];
    }
    auto r = aggregators::centered_clipping(list.pieces(), tau, iterations, c);
    if (!r.ok()) return raise_fenro_error(r.error());
    return Py_BuildValue("(NNN)", from_matrix(std::move(r->aggregate)),
                         from_doubles(r->distances), from_doubles(r->factors));
  });
}

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"_pieces_validate", as_method(pieces_validate), kFlags,
     "_pieces_validate(pieces)\n--\n\n"
     "None, or the update validation's first failure on the concatenated updates\n"
     "as ValueError (a non-finite value named by its coordinate in row 0)."},
    {"_pieces_screen", as_method(pieces_screen), kFlags,
     "_pieces_screen(pieces)\n--\n\n"
     "_screen on the concatenated updates: (norms, bad), bad holding\n"
     "(index, 0, coordinate, value) of each update's first NaN or infinity."},
    {"_pieces_distances", as_method(pieces_distances), kFlags,
     "_pieces_distances(pieces, point)\n--\n\n"
     "_distances on the concatenated updates; point holds one array per piece."},
    {"_pieces_krum", as_method(pieces_krum), kFlags,
     "_pieces_krum(pieces, *, f)\n--\n\n"
     "krum's selected index on the concatenated updates, as a 1-tuple."},
    {"_pieces_multi_krum", as_method(pieces_multi_krum), kFlags,
     "_pieces_multi_krum(pieces, *, f, m=None)\n--\n\n"
     "multi_krum's selected indices on the concatenated updates, best first."},
    {"_pieces_clip", as_method(pieces_clip), kFlags,
     "_pieces_clip(pieces, *, c)\n--\n\n"
     "clip_info on the concatenated updates: (clipped per piece, norms, factors)."},
    {"_pieces_arc", as_method(pieces_arc), kFlags,
     "_pieces_arc(pieces, *, f)\n--\n\n"
     "arc_info on the concatenated updates, the clipped updates per piece."},
    {"_pieces_nnm", as_method(pieces_nnm), kFlags,
     "_pieces_nnm(pieces, *, f)\n--\n\n"
     "nnm_info on the concatenated updates: (mixed per piece, neighbours)."},
    {"_pieces_bulyan", as_method(pieces_bulyan), kFlags,
     "_pieces_bulyan(pieces, *, f)\n--\n\n"
     "bulyan_info on the concatenated updates: (aggregate per piece, selected)."},
    {"_pieces_median", as_method(pieces_median), kFlags,
     "_pieces_median(pieces)\n--\n\n"
     "median on the concatenated updates, one result per piece."},
    {"_pieces_trimmed_mean", as_method(pieces_trimmed_mean), kFlags,
     "_pieces_trimmed_mean(pieces, *, trim)\n--\n\n"
     "trimmed_mean on the concatenated updates, one result per piece."},
    {"_pieces_geometric_median", as_method(pieces_geometric_median), kFlags,
     "_pieces_geometric_median(pieces, weights=None, *, nu=1e-06, tol=1e-07, max_iter=100)\n"
     "--\n\n"
     "geometric_median_info on the concatenated updates (the aggregate 1 x D)."},
    {"_pieces_centered_clipping", as_method(pieces_centered_clipping), kFlags,
     "_pieces_centered_clipping(pieces, *, tau, iterations=1, center=None)\n--\n\n"
     "centered_clipping_info on the concatenated updates (center and aggregate 1 x D)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_pieces(PyObject* module) { return add_functions(module, g_functions); }

}  // namespace fenro::python
