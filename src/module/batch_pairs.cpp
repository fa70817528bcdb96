// The exact-cosine functions of ambrel_batch._core, and the greedy rule over
// the pairs they find. The Python package wraps them (ambrel_batch/_pairs.py,
// _greedy.py): it checks `threads`, passes index arrays as contiguous int64
// and views the returned bytearrays as numpy arrays. Every other check is
// made here, with the function and parameter named; the rows are pinned, the
// interpreter is released while the core computes.
#include "module/batch_pairs.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>

#include "lsh/cell_scan.hpp"
#include "lsh/cosine.hpp"
#include "lsh/cosine_tiles.hpp"
#include "lsh/greedy_keep.hpp"
#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"
#include "module/arguments.hpp"
#include "module/batch_input.hpp"
#include "module/entry.hpp"
#include "module/failure.hpp"
#include "module/registration.hpp"

namespace ambrel {

namespace {

constexpr Parameters<5> kCosinePairsParameters{"cosine_pairs()", {"rows", "a", "b", "count", "threads"}, 5};
constexpr Parameters<5> kSimilarParameters{
    "similar_pairs()", {"rows", "threshold", "owners", "max_pairs", "threads"}, 5};
constexpr Parameters<5> kNearestParameters{
    "nearest_cells()", {"rows", "centroids", "margin", "max_cells", "threads"}, 5};
constexpr Parameters<12> kScanParameters{
    "cell_candidates()",
    {"queries", "limits", "rows", "row_starts", "visit_starts", "visit_rows", "cells", "entry_starts", "entry_queries",
     "entry_owning", "max_candidates", "threads"},
    12};
constexpr Parameters<5> kGreedyParameters{"greedy_keep()", {"n", "a", "b", "cosine", "fixed"}, 5};

using lsh::checked_product;

[[noreturn]] void invalid(const char* function, std::string_view parameter, const std::string& message) {
    std::string text = function;
    text += ": ";
    text += parameter;
    text += ' ';
    text += message;
    throw PyFailure(PyExc_ValueError, std::move(text));
}

// More threads than CPUs only cut the work into smaller pieces.
unsigned thread_count(const char* function, std::uint64_t requested) {
    if (requested == 0) invalid(function, "threads", "must be at least 1");
    return static_cast<unsigned>(std::min<std::uint64_t>(requested, lsh::available_cpus()));
}

std::string type_name(PyObject* object) { return type_name_utf8(Py_TYPE(object)).value_or("object"); }

std::string shown(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// A real number argument (int or float, not bool).
template <std::size_t N>
double real_argument(const char* function, const BoundArguments<N>& arguments, std::size_t k) {
    PyObject* object = arguments.object(k);
    if (PyBool_Check(object) || (!PyFloat_Check(object) && !PyLong_Check(object))) {
        throw PyFailure(PyExc_TypeError, std::string(function) + ": " + std::string(arguments.name(k)) +
                                             " must be a real number, not " + type_name(object));
    }
    return arguments.to(k, [](PyObject* value) {
        const double converted = PyFloat_AsDouble(value);
        if (converted == -1.0 && PyErr_Occurred() != nullptr) throw PyFailure::fetch();
        return converted;
    });
}

// An integer argument (anything with __index__), saturated to int64.
template <std::size_t N>
std::int64_t integer_argument(const char* function, const BoundArguments<N>& arguments, std::size_t k) {
    PyObject* object = arguments.object(k);
    if (PyIndex_Check(object) == 0 || PyFloat_Check(object)) {
        throw PyFailure(PyExc_TypeError, std::string(function) + ": " + std::string(arguments.name(k)) +
                                             " must be an integer, not " + type_name(object));
    }
    return arguments.to(k, [](PyObject* value) {
        PyRef index = PyRef::steal(PyNumber_Index(value));
        if (!index) throw PyFailure::fetch();
        int overflow = 0;
        const long long converted = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (converted == -1 && PyErr_Occurred() != nullptr) throw PyFailure::fetch();
        if (overflow != 0) {
            return overflow > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
        }
        return static_cast<std::int64_t>(converted);
    });
}

// Index array `name` of `count` native int64, every index below `rows`.
const std::int64_t* checked_indices(const PinnedBytes& bytes, std::string_view name, std::size_t count,
                                    std::size_t rows) {
    if (bytes.size() != checked_product(count, sizeof(std::int64_t)))
        invalid("cosine_pairs()", name, "does not match the given count");
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(std::int64_t) != 0)
        invalid("cosine_pairs()", name, "must be aligned to 8 bytes");
    const auto* indices = reinterpret_cast<const std::int64_t*>(bytes.data());
    for (std::size_t k = 0; k < count; ++k) {
        if (indices[k] < 0 || static_cast<std::uint64_t>(indices[k]) >= rows) {
            throw PyFailure(PyExc_IndexError, "cosine_pairs(): " + std::string(name) + "[" + std::to_string(k) +
                                                  "] = " + std::to_string(indices[k]) + " is out of range for " +
                                                  std::to_string(rows) + " rows");
        }
    }
    return indices;
}

PyObject* cosine_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const auto arguments = bind(kCosinePairsParameters, args, nargsf, kwnames);
        const PinnedRows rows(arguments.object(0), arguments.name(0));
        const PinnedBytes a_bytes(arguments.object(1), arguments.name(1));
        const PinnedBytes b_bytes(arguments.object(2), arguments.name(2));
        const auto count = static_cast<std::size_t>(arguments.to_unsigned(3));
        const unsigned threads = thread_count("cosine_pairs()", arguments.to_unsigned(4));
        const lsh::RowMatrix& matrix = rows.matrix();
        const std::int64_t* a = checked_indices(a_bytes, arguments.name(1), count, matrix.rows);
        const std::int64_t* b = checked_indices(b_bytes, arguments.name(2), count, matrix.rows);
        PyRef out = new_output(checked_product(count, sizeof(double)));
        auto* cosines = reinterpret_cast<double*>(output_bytes(out.get()));
        {
            const Detached detached;
            lsh::cosine_pairs(matrix, a, b, count, cosines, threads);
        }
        return out.release();
    });
}

// A bytearray holding the values, which are freed.
template <class T>
PyRef take_bytes(std::vector<T>& values) {
    PyRef out = new_output(checked_product(values.size(), sizeof(T)));
    if (!values.empty()) std::memcpy(output_bytes(out.get()), values.data(), values.size() * sizeof(T));
    std::vector<T>().swap(values);
    return out;
}

PyObject* similar_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* function = "similar_pairs()";
        const auto arguments = bind(kSimilarParameters, args, nargsf, kwnames);
        const PinnedRows rows(arguments.object(0), arguments.name(0));
        const lsh::RowMatrix& matrix = rows.matrix();
        const double threshold = real_argument(function, arguments, 1);
        const bool threshold_valid = threshold >= -1.0 && threshold <= 1.0;  // false for NaN
        if (!threshold_valid)
            invalid(function, "threshold", "must be a finite number in [-1, 1], got " + shown(threshold));
        std::size_t owners = matrix.rows;
        if (arguments.object(2) != Py_None) {
            const std::int64_t given = integer_argument(function, arguments, 2);
            if (given < 0 || static_cast<std::uint64_t>(given) > matrix.rows) {
                invalid(function, "owners",
                        "must be in [0, " + std::to_string(matrix.rows) + "] (the row count), got " +
                            std::to_string(given));
            }
            owners = static_cast<std::size_t>(given);
        }
        const std::int64_t max_pairs = integer_argument(function, arguments, 3);
        if (max_pairs < 1) invalid(function, "max_pairs", "must be at least 1, got " + std::to_string(max_pairs));
        const unsigned threads = thread_count(function, arguments.to_unsigned(4));
        if (matrix.rows > std::numeric_limits<std::uint32_t>::max())
            invalid(function, "rows", "has more than 2^32 - 1 rows");
        lsh::SimilarPairs pairs;
        {
            const Detached detached;
            pairs = lsh::similar_pairs(matrix, threshold, owners, static_cast<std::size_t>(max_pairs), threads);
        }
        // Each list is freed once copied: the peak is one list above the output.
        const std::size_t count = pairs.a.size();
        PyRef a = take_bytes(pairs.a);
        PyRef b = take_bytes(pairs.b);
        PyRef cosine = take_bytes(pairs.cosine);
        return tuple_of(std::move(a), std::move(b), std::move(cosine), number(count),
                        PyRef::borrow(pairs.complete ? Py_True : Py_False));
    });
}

PyObject* nearest_cells(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* function = "nearest_cells()";
        const auto arguments = bind(kNearestParameters, args, nargsf, kwnames);
        const PinnedRows rows(arguments.object(0), arguments.name(0));
        const PinnedRows centroids(arguments.object(1), arguments.name(1));
        const lsh::RowMatrix& matrix = rows.matrix();
        const lsh::RowMatrix& cells_matrix = centroids.matrix();
        if (matrix.cols != cells_matrix.cols) {
            invalid(function, "centroids",
                    "must have as many components as rows (" + std::to_string(matrix.cols) + "), not " +
                        std::to_string(cells_matrix.cols));
        }
        if (cells_matrix.rows > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            invalid(function, "centroids", "has more than 2^31 - 1 rows");
        const double margin = real_argument(function, arguments, 2);
        const bool margin_valid = margin >= 0.0 && std::isfinite(margin);
        if (!margin_valid) invalid(function, "margin", "must be a finite number >= 0, got " + shown(margin));
        const std::int64_t max_cells = integer_argument(function, arguments, 3);
        if (max_cells < 1) invalid(function, "max_cells", "must be at least 1, got " + std::to_string(max_cells));
        const unsigned threads = thread_count(function, arguments.to_unsigned(4));
        const auto width = static_cast<std::size_t>(max_cells);
        const std::uint64_t slots = checked_product(matrix.rows, width);
        PyRef cells = new_output(checked_product(slots, sizeof(std::int32_t)));
        PyRef sims = new_output(checked_product(slots, sizeof(double)));
        auto* cell_out = reinterpret_cast<std::int32_t*>(output_bytes(cells.get()));
        auto* sim_out = reinterpret_cast<double*>(output_bytes(sims.get()));
        {
            const Detached detached;
            lsh::nearest_cells(matrix, cells_matrix, margin, width, cell_out, sim_out, threads);
        }
        return tuple_of(std::move(cells), std::move(sims), number(matrix.rows), number(width));
    });
}

// A C-contiguous array of native `T` (its length from its size), aligned for T.
template <class T>
std::span<const T> typed_array(const PinnedBytes& bytes, const char* function, std::string_view name) {
    if (bytes.size() % sizeof(T) != 0 || reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(T) != 0)
        invalid(function, name, "must be an aligned array of " + std::to_string(sizeof(T)) + "-byte items");
    return {reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T)};
}

// Offsets into `total` items: nondecreasing, from 0 or more, at most total.
void check_offsets(std::span<const std::int64_t> starts, std::size_t total, const char* function,
                   std::string_view name) {
    for (std::size_t k = 0; k < starts.size(); ++k) {
        const bool ok =
            starts[k] >= 0 && static_cast<std::uint64_t>(starts[k]) <= total && (k == 0 || starts[k] >= starts[k - 1]);
        if (!ok) invalid(function, name, "must be nondecreasing offsets in [0, " + std::to_string(total) + "]");
    }
}

void check_below(std::span<const std::int64_t> values, std::size_t bound, const char* function, std::string_view name) {
    for (const std::int64_t v : values) {
        if (v < 0 || static_cast<std::uint64_t>(v) >= bound)
            invalid(function, name, "holds " + std::to_string(v) + ", outside [0, " + std::to_string(bound) + ")");
    }
}

PyObject* cell_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* function = "cell_candidates()";
        const auto arguments = bind(kScanParameters, args, nargsf, kwnames);
        const PinnedRows query_rows(arguments.object(0), arguments.name(0));
        const PinnedBytes limit_bytes(arguments.object(1), arguments.name(1));
        const PinnedRows index_rows(arguments.object(2), arguments.name(2));
        const PinnedBytes pinned[] = {
            {arguments.object(3), arguments.name(3)}, {arguments.object(4), arguments.name(4)},
            {arguments.object(5), arguments.name(5)}, {arguments.object(6), arguments.name(6)},
            {arguments.object(7), arguments.name(7)}, {arguments.object(8), arguments.name(8)},
            {arguments.object(9), arguments.name(9)},
        };
        const std::int64_t max_candidates = integer_argument(function, arguments, 10);
        if (max_candidates < 0) invalid(function, "max_candidates", "must be at least 0");
        const unsigned threads = thread_count(function, arguments.to_unsigned(11));
        const lsh::RowMatrix& qm = query_rows.matrix();
        const lsh::RowMatrix& rm = index_rows.matrix();
        if (qm.cols != rm.cols) invalid(function, "queries", "must have as many components as rows");
        const auto limits = typed_array<float>(limit_bytes, function, arguments.name(1));
        if (limits.size() != qm.rows) invalid(function, "limits", "must hold one limit per query");
        const auto row_starts = typed_array<std::int64_t>(pinned[0], function, arguments.name(3));
        const auto visit_starts = typed_array<std::int64_t>(pinned[1], function, arguments.name(4));
        const auto visit_rows = typed_array<std::int64_t>(pinned[2], function, arguments.name(5));
        const auto cells = typed_array<std::int64_t>(pinned[3], function, arguments.name(6));
        const auto entry_starts = typed_array<std::int64_t>(pinned[4], function, arguments.name(7));
        const auto entry_queries = typed_array<std::int64_t>(pinned[5], function, arguments.name(8));
        const auto owning = typed_array<std::uint8_t>(pinned[6], function, arguments.name(9));
        if (row_starts.empty() || visit_starts.size() != row_starts.size())
            invalid(function, "visit_starts", "must have as many offsets as row_starts (cells + 1, at least 1)");
        const std::size_t cell_count = row_starts.size() - 1;
        check_offsets(row_starts, rm.rows, function, arguments.name(3));
        check_offsets(visit_starts, visit_rows.size(), function, arguments.name(4));
        check_below(cells, cell_count, function, arguments.name(6));
        // Only the visitors of the scanned cells are read.
        for (const std::int64_t cell : cells) {
            const auto c = static_cast<std::size_t>(cell);
            check_below(visit_rows.subspan(static_cast<std::size_t>(visit_starts[c]),
                                           static_cast<std::size_t>(visit_starts[c + 1] - visit_starts[c])),
                        rm.rows, function, arguments.name(5));
        }
        if (entry_starts.size() != cells.size() + 1)
            invalid(function, "entry_starts", "must hold one offset per cell and one more");
        check_offsets(entry_starts, entry_queries.size(), function, arguments.name(7));
        check_below(entry_queries, qm.rows, function, arguments.name(8));
        if (owning.size() != entry_queries.size()) invalid(function, "entry_owning", "must match entry_queries");
        lsh::CellScan scan;
        {
            const Detached detached;
            lsh::CosineRows q;
            lsh::CosineRows r;
            lsh::view_cosine_rows(qm, threads, q);
            lsh::view_cosine_rows(rm, threads, r);
            lsh::CellScanInput in;
            in.queries = q.base;
            in.query_stride = q.stride;
            in.query_count = q.n;
            in.limits = limits.data();
            in.rows = r.base;
            in.row_stride = r.stride;
            in.row_count = r.n;
            in.d = rm.cols;
            in.row_starts = row_starts.data();
            in.visit_starts = visit_starts.data();
            in.visit_rows = visit_rows.data();
            in.cell_count = cell_count;
            in.cells = cells.data();
            in.entry_starts = entry_starts.data();
            in.scanned = cells.size();
            in.entry_queries = entry_queries.data();
            in.entry_owning = owning.data();
            scan = lsh::scan_cells(in, static_cast<std::size_t>(max_candidates), threads);
        }
        const std::size_t done = scan.cells_done;
        PyRef query = take_bytes(scan.query);
        PyRef row = take_bytes(scan.row);
        return tuple_of(std::move(query), std::move(row), number(done));
    });
}

// The fault the core found, as the exception naming its argument and index.
[[noreturn]] void greedy_fault(const lsh::GreedyFault& fault, std::size_t n, const lsh::GreedyEdges& edges) {
    using Kind = lsh::GreedyFault::Kind;
    const std::size_t k = fault.index;
    const std::string at = "[" + std::to_string(k) + "]";
    switch (fault.kind) {
        case Kind::a_range:
        case Kind::b_range: {
            const bool a = fault.kind == Kind::a_range;
            throw PyFailure(PyExc_IndexError, std::string("greedy_keep(): ") + (a ? "a" : "b") + at + " = " +
                                                  std::to_string(a ? edges.a[k] : edges.b[k]) +
                                                  " is out of range for " + std::to_string(n) + " nodes");
        }
        case Kind::self_edge:
            throw PyFailure(PyExc_ValueError, "greedy_keep(): edge " + std::to_string(k) + " joins node " +
                                                  std::to_string(edges.a[k]) + " to itself (a" + at + " == b" + at +
                                                  ")");
        case Kind::cosine_not_finite:
            invalid("greedy_keep()", "cosine" + at, "= " + shown(edges.cosine[k]) + " is not finite");
        case Kind::fixed_value:
            invalid("greedy_keep()", "fixed" + at, "must be -1 (decided by the rule), 0 (removed) or 1 (kept)");
        case Kind::none: break;
    }
    lsh::panic("greedy_keep: no fault to report");
}

PyObject* greedy_keep(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* function = "greedy_keep()";
        const auto arguments = bind(kGreedyParameters, args, nargsf, kwnames);
        const std::int64_t nodes = integer_argument(function, arguments, 0);
        if (nodes < 0 || nodes > std::int64_t{std::numeric_limits<std::uint32_t>::max()})
            invalid(function, "n", "must be in [0, 2^32 - 1], got " + std::to_string(nodes));
        const auto n = static_cast<std::size_t>(nodes);
        const PinnedBytes a_bytes(arguments.object(1), arguments.name(1));
        const PinnedBytes b_bytes(arguments.object(2), arguments.name(2));
        const PinnedBytes cosine_bytes(arguments.object(3), arguments.name(3));
        const auto a = typed_array<std::int64_t>(a_bytes, function, arguments.name(1));
        const auto b = typed_array<std::int64_t>(b_bytes, function, arguments.name(2));
        const auto cosine = typed_array<double>(cosine_bytes, function, arguments.name(3));
        if (a.size() != b.size() || a.size() != cosine.size()) {
            invalid(function, "a, b and cosine",
                    "must have the same length, not " + std::to_string(a.size()) + ", " + std::to_string(b.size()) +
                        " and " + std::to_string(cosine.size()));
        }
        std::optional<PinnedBytes> fixed_bytes;
        const std::int8_t* fixed = nullptr;
        if (arguments.object(4) != Py_None) {
            fixed_bytes.emplace(arguments.object(4), arguments.name(4));
            const auto decisions = typed_array<std::int8_t>(*fixed_bytes, function, arguments.name(4));
            if (decisions.size() != n) {
                invalid(function, "fixed",
                        "must hold one decision per node (" + std::to_string(n) + "), not " +
                            std::to_string(decisions.size()));
            }
            fixed = decisions.data();
        }
        PyRef keep = new_output(n);
        PyRef duplicate_of = new_output(checked_product(n, sizeof(std::int64_t)));
        PyRef pair_cosine = new_output(checked_product(n, sizeof(double)));
        const lsh::GreedyEdges edges{a.data(), b.data(), cosine.data(), a.size()};
        const lsh::GreedyOutput out{output_bytes(keep.get()),
                                    reinterpret_cast<std::int64_t*>(output_bytes(duplicate_of.get())),
                                    reinterpret_cast<double*>(output_bytes(pair_cosine.get()))};
        lsh::GreedyFault fault;
        {
            const Detached detached;
            fault = lsh::greedy_input_fault(n, edges, fixed);
            if (fault.kind == lsh::GreedyFault::Kind::none) lsh::greedy_keep(n, edges, fixed, out);
        }
        if (fault.kind != lsh::GreedyFault::Kind::none) greedy_fault(fault, n, edges);
        return tuple_of(std::move(keep), std::move(duplicate_of), std::move(pair_cosine));
    });
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef function_definitions[] = {
    {"cosine_pairs", as_cfunction(cosine_pairs), kFastKeywords,
     "cosine_pairs(rows, a, b, count, threads)\n--\n\n"
     "The exact cosine of rows a[i] and b[i] for native int64 indices (native float64)."},
    {"similar_pairs", as_cfunction(similar_pairs), kFastKeywords,
     "similar_pairs(rows, threshold, owners, max_pairs, threads)\n--\n\n"
     "The pairs of rows whose exact cosine reaches threshold: (a, b, cosine, count, complete)."},
    {"cell_candidates", as_cfunction(cell_candidates), kFastKeywords,
     "cell_candidates(queries, limits, rows, row_starts, visit_starts, visit_rows, cells, entry_starts, "
     "entry_queries, entry_owning, max_candidates, threads)\n--\n\n"
     "The pairs (query, row) of the cells whose float32 product reaches the query's limit: (query, row, cells_done)."},
    {"nearest_cells", as_cfunction(nearest_cells), kFastKeywords,
     "nearest_cells(rows, centroids, margin, max_cells, threads)\n--\n\n"
     "The cells of each row by exact cosine: (cells int32, sims float64, rows, max_cells)."},
    {"greedy_keep", as_cfunction(greedy_keep), kFastKeywords,
     "greedy_keep(n, a, b, cosine, fixed)\n--\n\n"
     "The greedy keep/remove rule over nodes in rank order and pairs (a[i], b[i]) of native int64 nodes and "
     "float64 cosines, fixed None or n int8 decisions: (keep bytes, duplicate_of int64, cosine float64)."},
};

}  // namespace

std::span<PyMethodDef> batch_pair_functions() noexcept { return function_definitions; }

}  // namespace ambrel
