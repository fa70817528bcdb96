// The functions of ambrel_batch._core. The Python package ambrel_batch wraps
// them: it checks `threads`, allocates nothing itself and views the returned
// bytearrays as numpy arrays without copying them.
//
// Each function converts its arguments with the interpreter attached (the
// rows are pinned, never copied when they are a buffer of numbers), detaches
// while the numeric core runs on its threads, and returns new objects.
#include "module/batch_functions.hpp"

#include <algorithm>
#include <string>

#include "lsh/batch.hpp"
#include "lsh/panic.hpp"
#include "lsh/parallel.hpp"
#include "module/arguments.hpp"
#include "module/batch_input.hpp"
#include "module/entry.hpp"
#include "module/failure.hpp"
#include "module/registration.hpp"

namespace ambrel {

namespace {

// One table per function, so that every message names the function called.
constexpr Parameters<5> kSimhashParameters{"simhash_lsh_batch()", {"rows", "families", "bits", "bands", "threads"}, 5};
constexpr Parameters<6> kBandValuesParameters{
    "band_values()", {"codes", "rows", "families", "bits", "band_width", "band_count"}, 6};
constexpr Parameters<6> kBandTextsParameters{
    "band_texts()", {"codes", "rows", "families", "bits", "band_width", "band_count"}, 6};
constexpr Parameters<2> kNormalizeParameters{"normalize_batch()", {"rows", "threads"}, 2};
constexpr Parameters<2> kSha256Parameters{"sha256_batch()", {"rows", "threads"}, 2};
constexpr Parameters<5> kHammingOneParameters{"hamming_one_to_many()", {"a", "b", "rows", "width", "threads"}, 5};
constexpr Parameters<5> kHammingPairsParameters{"hamming_pairs()", {"a", "b", "rows", "width", "threads"}, 5};
constexpr Parameters<3> kCosineParameters{"cosine_from_hamming_batch()", {"distances", "count", "total_bits"}, 3};

// More threads than CPUs only cut the work into smaller pieces.
unsigned thread_count(std::uint64_t requested) {
    if (requested == 0) throw PyFailure(PyExc_ValueError, "threads must be at least 1");
    return static_cast<unsigned>(std::min<std::uint64_t>(requested, lsh::available_cpus()));
}

// The size checks of this module: a size that 64 bits cannot count, or an
// output larger than a bytearray can be, is an OverflowError naming the
// function (the batch API's own answer; not an internal failure).
[[noreturn]] void too_large(const char* function, const std::string& what) {
    throw PyFailure(PyExc_OverflowError, std::string(function) + ": " + what + " is too large");
}

std::uint64_t checked_product(std::uint64_t a, std::uint64_t b, const char* function) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        too_large(function, "a size of " + std::to_string(a) + " x " + std::to_string(b));
    }
    return product;
}

PyRef checked_output(std::uint64_t size, const char* function) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        too_large(function, "an output of " + std::to_string(size) + " bytes");
    }
    return new_output(size);
}

// The signature layout after the floors; families x bits must be countable
// (the sign matrix has that many columns).
lsh::SimhashShape checked_shape(std::uint64_t families, std::uint64_t bits, std::uint64_t bands, const char* function) {
    const std::uint64_t f = std::max<std::uint64_t>(families, 1);
    const std::uint64_t b = std::max<std::uint64_t>(bits, 64);
    constexpr std::uint64_t kMaxFamilies = std::uint64_t{1} << 57;
    constexpr std::uint64_t kMaxBits = std::uint64_t{1} << 63;
    std::uint64_t columns = 0;
    if (f >= kMaxFamilies || b >= kMaxBits || __builtin_mul_overflow(f, b, &columns)) {
        too_large(function, "a layout of " + std::to_string(f) + " families x " + std::to_string(b) + " bits");
    }
    return lsh::simhash_shape(f, b, bands);
}

// A tuple of the output and sizes: (bytearray, n, ...).
template <class... Sizes>
PyObject* result(PyRef output, Sizes... sizes) {
    return tuple_of(std::move(output), number(sizes)...);
}

PyObject* simhash_lsh_batch(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const auto arguments = bind(kSimhashParameters, args, nargsf, kwnames);
        const PinnedRows rows(arguments.object(0), arguments.name(0));
        const std::uint64_t families = arguments.to_unsigned(1);
        const std::uint64_t bits = arguments.to_unsigned(2);
        const std::uint64_t bands = arguments.to_unsigned(3);
        const unsigned threads = thread_count(arguments.to_unsigned(4));

        const char* name = kSimhashParameters.full_name;
        const lsh::SimhashShape shape = checked_shape(families, bits, bands, name);
        const lsh::RowMatrix& matrix = rows.matrix();
        PyRef codes = checked_output(checked_product(matrix.rows, shape.row_bytes, name), name);
        std::uint8_t* out = output_bytes(codes.get());
        {
            const Detached detached;
            lsh::simhash_batch(matrix, shape, out, threads);
        }
        return result(std::move(codes), matrix.rows, shape.families, shape.bits, shape.band_width, shape.band_count,
                      shape.row_bytes);
    });
}

// The codes and sizes of a band extraction, checked against each other.
struct BandRequest {
    lsh::SimhashShape shape;
    std::size_t rows;
};

BandRequest band_request(const BoundArguments<6>& arguments, const PinnedBytes& codes, const char* name) {
    BandRequest request;
    request.rows = static_cast<std::size_t>(arguments.to_unsigned(1));
    request.shape = checked_shape(arguments.to_unsigned(2), arguments.to_unsigned(3), 1, name);
    request.shape.band_width = arguments.to_unsigned(4);
    request.shape.band_count = arguments.to_unsigned(5);
    const lsh::SimhashShape& s = request.shape;
    if (s.band_width == 0 || checked_product(s.band_width, s.band_count, name) > s.hex_chars ||
        checked_product(request.rows, s.row_bytes, name) != codes.size()) {
        throw PyFailure(PyExc_ValueError, "codes do not match the given sizes");
    }
    return request;
}

PyObject* band_values(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* name = kBandValuesParameters.full_name;
        const auto arguments = bind(kBandValuesParameters, args, nargsf, kwnames);
        const PinnedBytes codes(arguments.object(0), arguments.name(0));
        const BandRequest request = band_request(arguments, codes, name);
        if (request.shape.band_width > 16) throw PyFailure(PyExc_ValueError, "bands wider than 16 hex digits");
        const std::uint64_t count = checked_product(checked_product(request.rows, request.shape.families, name),
                                                    request.shape.band_count, name);
        PyRef out = checked_output(checked_product(count, sizeof(std::uint64_t), name), name);
        auto* values = reinterpret_cast<std::uint64_t*>(output_bytes(out.get()));
        {
            const Detached detached;
            lsh::band_values(codes.data(), request.rows, request.shape, values);
        }
        return out.release();
    });
}

PyObject* band_texts(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* name = kBandTextsParameters.full_name;
        const auto arguments = bind(kBandTextsParameters, args, nargsf, kwnames);
        const PinnedBytes codes(arguments.object(0), arguments.name(0));
        const BandRequest request = band_request(arguments, codes, name);
        const std::uint64_t chars =
            checked_product(checked_product(request.rows, request.shape.families, name),
                            checked_product(request.shape.band_count, request.shape.band_width, name), name);
        PyRef out = checked_output(chars, name);
        char* texts = reinterpret_cast<char*>(output_bytes(out.get()));
        {
            const Detached detached;
            lsh::band_texts(codes.data(), request.rows, request.shape, texts);
        }
        return out.release();
    });
}

PyObject* normalize_batch(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* name = kNormalizeParameters.full_name;
        const auto arguments = bind(kNormalizeParameters, args, nargsf, kwnames);
        const PinnedRows rows(arguments.object(0), arguments.name(0));
        const unsigned threads = thread_count(arguments.to_unsigned(1));
        const lsh::RowMatrix& matrix = rows.matrix();
        PyRef out =
            checked_output(checked_product(checked_product(matrix.rows, matrix.cols, name), sizeof(float), name), name);
        auto* values = reinterpret_cast<float*>(output_bytes(out.get()));
        {
            const Detached detached;
            lsh::normalize_batch(matrix, values, threads);
        }
        return result(std::move(out), matrix.rows, matrix.cols);
    });
}

PyObject* sha256_batch(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const char* name = kSha256Parameters.full_name;
        const auto arguments = bind(kSha256Parameters, args, nargsf, kwnames);
        const PinnedRows rows(arguments.object(0), arguments.name(0));
        const unsigned threads = thread_count(arguments.to_unsigned(1));
        const lsh::RowMatrix& matrix = rows.matrix();
        PyRef out = checked_output(checked_product(matrix.rows, 64, name), name);
        char* digests = reinterpret_cast<char*>(output_bytes(out.get()));
        {
            const Detached detached;
            lsh::sha256_batch(matrix, digests, threads);
        }
        return result(std::move(out), matrix.rows);
    });
}

// Shared by the one-against-many and the pairwise forms: `a` holds one code
// (`one`) or `rows` codes of `width` bytes, `b` holds `rows` codes.
PyObject* hamming(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, bool one) {
    const Parameters<5>& parameters = one ? kHammingOneParameters : kHammingPairsParameters;
    const char* name = parameters.full_name;
    const auto arguments = bind(parameters, args, nargsf, kwnames);
    const PinnedBytes a(arguments.object(0), arguments.name(0));
    const PinnedBytes b(arguments.object(1), arguments.name(1));
    const auto rows = static_cast<std::size_t>(arguments.to_unsigned(2));
    const auto width = static_cast<std::size_t>(arguments.to_unsigned(3));
    const unsigned threads = thread_count(arguments.to_unsigned(4));
    if (a.size() != (one ? width : checked_product(rows, width, name)) ||
        b.size() != checked_product(rows, width, name)) {
        throw PyFailure(PyExc_ValueError, "codes do not match the given sizes");
    }
    PyRef out = checked_output(checked_product(rows, sizeof(std::int64_t), name), name);
    auto* distances = reinterpret_cast<std::int64_t*>(output_bytes(out.get()));
    {
        const Detached detached;
        if (one) {
            lsh::hamming_one_to_many(a.data(), b.data(), rows, width, distances, threads);
        } else {
            lsh::hamming_pairs(a.data(), b.data(), rows, width, distances, threads);
        }
    }
    return out.release();
}

PyObject* hamming_one_to_many(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] { return hamming(args, nargsf, kwnames, true); });
}

PyObject* hamming_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] { return hamming(args, nargsf, kwnames, false); });
}

PyObject* cosine_from_hamming_batch(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const auto arguments = bind(kCosineParameters, args, nargsf, kwnames);
        const PinnedBytes distances(arguments.object(0), arguments.name(0));
        const auto count = static_cast<std::size_t>(arguments.to_unsigned(1));
        const std::uint64_t total = arguments.to_unsigned(2);
        const char* name = kCosineParameters.full_name;
        if (distances.size() != checked_product(count, sizeof(std::uint64_t), name)) {
            throw PyFailure(PyExc_ValueError, "distances do not match the given count");
        }
        PyRef out = checked_output(checked_product(count, sizeof(double), name), name);
        auto* cosines = reinterpret_cast<double*>(output_bytes(out.get()));
        {
            const Detached detached;
            lsh::cosine_batch(distances.data(), count, total, cosines);
        }
        return out.release();
    });
}

PyObject* available_cpus(PyObject*, PyObject*) {
    return guarded([] { return number(lsh::available_cpus()).release(); });
}

PyObject* kernel(PyObject*, PyObject*) {
    return guarded([] { return check_new(PyUnicode_FromString(lsh::batch_kernels_name())).release(); });
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef function_definitions[] = {
    {"simhash_lsh_batch", as_cfunction(simhash_lsh_batch), kFastKeywords,
     "simhash_lsh_batch(rows, families, bits, bands, threads)\n--\n\n"
     "Packed SimHash codes of every row: (codes, rows, families, bits, band_width, band_count, row_bytes)."},
    {"band_values", as_cfunction(band_values), kFastKeywords,
     "band_values(codes, rows, families, bits, band_width, band_count)\n--\n\n"
     "Every band of packed codes as a native uint64."},
    {"band_texts", as_cfunction(band_texts), kFastKeywords,
     "band_texts(codes, rows, families, bits, band_width, band_count)\n--\n\n"
     "Every band of packed codes as band_width lowercase hex characters."},
    {"normalize_batch", as_cfunction(normalize_batch), kFastKeywords,
     "normalize_batch(rows, threads)\n--\n\n"
     "Every row normalised in float32: (values, rows, components)."},
    {"sha256_batch", as_cfunction(sha256_batch), kFastKeywords,
     "sha256_batch(rows, threads)\n--\n\n"
     "The canonical SHA-256 digest of every row as 64 hex characters: (digests, rows)."},
    {"hamming_one_to_many", as_cfunction(hamming_one_to_many), kFastKeywords,
     "hamming_one_to_many(a, b, rows, width, threads)\n--\n\n"
     "Differing bits between one code and each of rows codes of width bytes (native int64)."},
    {"hamming_pairs", as_cfunction(hamming_pairs), kFastKeywords,
     "hamming_pairs(a, b, rows, width, threads)\n--\n\n"
     "Differing bits between a[i] and b[i], codes of width bytes (native int64)."},
    {"cosine_from_hamming_batch", as_cfunction(cosine_from_hamming_batch), kFastKeywords,
     "cosine_from_hamming_batch(distances, count, total_bits)\n--\n\n"
     "cos(pi * (d / total_bits)) for native uint64 distances (native float64)."},
    {"available_cpus", as_cfunction(available_cpus), METH_NOARGS,
     "available_cpus()\n--\n\nThe number of CPUs this process may run on."},
    {"kernel", as_cfunction(kernel), METH_NOARGS,
     "kernel()\n--\n\nThe instruction set of the batch kernels on this machine."},
};

}  // namespace

std::span<PyMethodDef> batch_functions() noexcept { return function_definitions; }

}  // namespace ambrel
