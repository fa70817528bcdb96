// The exact-cosine functions of ambrel_batch._core. The Python package
// wraps them (ambrel_batch/_pairs.py): it checks `threads`, passes index
// arrays as contiguous int64 and views the returned bytearrays as numpy
// arrays. Every other check is made here, with the function and parameter
// named; the rows are pinned, the interpreter is released while the core
// computes.
#include "module/batch_pairs.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "lsh/cosine.hpp"
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

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef function_definitions[] = {
    {"cosine_pairs", as_cfunction(cosine_pairs), kFastKeywords,
     "cosine_pairs(rows, a, b, count, threads)\n--\n\n"
     "The exact cosine of rows a[i] and b[i] for native int64 indices (native float64)."},
    {"similar_pairs", as_cfunction(similar_pairs), kFastKeywords,
     "similar_pairs(rows, threshold, owners, max_pairs, threads)\n--\n\n"
     "The pairs of rows whose exact cosine reaches threshold: (a, b, cosine, count, complete)."},
    {"nearest_cells", as_cfunction(nearest_cells), kFastKeywords,
     "nearest_cells(rows, centroids, margin, max_cells, threads)\n--\n\n"
     "The cells of each row by exact cosine: (cells int32, sims float64, rows, max_cells)."},
};

}  // namespace

std::span<PyMethodDef> batch_pair_functions() noexcept { return function_definitions; }

}  // namespace ambrel
