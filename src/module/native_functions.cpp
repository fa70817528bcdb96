#include "module/native_functions.hpp"

#include <vector>

#include "lsh/compare.hpp"
#include "lsh/embedding_hash.hpp"
#include "lsh/fp_env.hpp"
#include "lsh/normalize.hpp"
#include "lsh/records.hpp"
#include "lsh/simhash.hpp"
#include "module/arguments.hpp"
#include "module/entry.hpp"
#include "module/failure.hpp"
#include "module/registration.hpp"

namespace ambrel {

namespace {

constexpr Parameters<4> kSimhashParameters{
    "simhash_lsh_multi()", {"normalized_vector", "families", "bits", "bands"}, 1};
constexpr Parameters<1> kNormalizeParameters{"normalize_vector()", {"vector"}, 1};
constexpr Parameters<2> kHammingParameters{"hamming_distance_hex()", {"a", "b"}, 2};
constexpr Parameters<2> kCosineParameters{"cosine_from_hamming()", {"distance_bits", "total_bits"}, 2};
constexpr Parameters<1> kSha256Parameters{"compute_embedding_sha256()", {"normalized_embedding"}, 1};

// The LshFamily type for building results; a creation failure here is an
// internal failure, its cause reported through the unraisable hook.
PyObject* family_type_for_results() {
    try {
        return lsh_family_type();
    } catch (PyFailure& failure) {
        std::move(failure).raise();
        PyErr_WriteUnraisable(nullptr);
        lsh::panic("failed to create type object for `LshFamily`");
    }
}

PyObject* simhash_lsh_multi(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const auto arguments = bind(kSimhashParameters, args, nargsf, kwnames);
        std::vector<float> vector = arguments.to_vector(0);
        const std::uint64_t families = arguments.to_unsigned(1, lsh::kDefaultFamilies);
        const std::uint64_t bits = arguments.to_unsigned(2, lsh::kDefaultBits);
        const std::uint64_t bands = arguments.to_unsigned(3, lsh::kDefaultBands);

        std::vector<lsh::FamilySignature> records = lsh::simhash_lsh_multi(vector, families, bits, bands);
        std::vector<float>().swap(vector);

        PyObject* type = family_type_for_results();
        PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(records.size())));
        for (std::size_t k = 0; k < records.size(); ++k) {
            PyRef record = make_lsh_family(type, std::move(records[k]));
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), record.release());
        }
        return list.release();
    });
}

PyObject* normalize_vector(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        std::vector<float> values = bind(kNormalizeParameters, args, nargsf, kwnames).to_vector(0);
        lsh::normalize_vector_into(values, values.data());
        PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* item = PyFloat_FromDouble(lsh::widen_to_double(values[i]));
            if (item == nullptr) fail_null_result();
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* hamming_distance_hex(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const auto arguments = bind(kHammingParameters, args, nargsf, kwnames);
        const std::string_view a = arguments.to_text(0);
        const std::string_view b = arguments.to_text(1);
        return check_new(PyLong_FromUnsignedLongLong(lsh::hamming_distance_hex(a, b))).release();
    });
}

PyObject* cosine_from_hamming(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const auto arguments = bind(kCosineParameters, args, nargsf, kwnames);
        const std::uint64_t distance = arguments.to_unsigned(0);
        const std::uint64_t total = arguments.to_unsigned(1);
        return check_new(PyFloat_FromDouble(lsh::cosine_from_hamming(distance, total))).release();
    });
}

PyObject* compute_embedding_sha256(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&] {
        const std::vector<float> vector = bind(kSha256Parameters, args, nargsf, kwnames).to_vector(0);
        const std::string digest = lsh::compute_embedding_sha256(vector);
        return check_new(PyUnicode_FromStringAndSize(digest.data(), static_cast<Py_ssize_t>(digest.size()))).release();
    });
}

PyMethodDef function_definitions[] = {
    {"simhash_lsh_multi", as_cfunction(simhash_lsh_multi), METH_FASTCALL | METH_KEYWORDS,
     "simhash_lsh_multi(normalized_vector, families=3, bits=256, bands=16)\n--\n\n"
     "Generate SimHash LSH signatures for a normalized embedding vector\n\n"
     "Args:\n"
     "    normalized_vector: L2-normalized embedding vector (list of floats)\n"
     "    families: Number of independent hash families (default: 3)\n"
     "    bits: Number of bits per signature (default: 256)\n"
     "    bands: Number of bands to split signature into (default: 16)\n\n"
     "Returns:\n"
     "    List of LshFamily objects, one per family"},
    {"normalize_vector", as_cfunction(normalize_vector), METH_FASTCALL | METH_KEYWORDS,
     "normalize_vector(vector)\n--\n\n"
     "L2-normalize a vector\n\n"
     "Args:\n"
     "    vector: Input vector (list of floats)\n\n"
     "Returns:\n"
     "    L2-normalized vector. If the input has zero magnitude, returns the original."},
    {"hamming_distance_hex", as_cfunction(hamming_distance_hex), METH_FASTCALL | METH_KEYWORDS,
     "hamming_distance_hex(a, b)\n--\n\n"
     "Compute Hamming distance between two hex-encoded signatures\n\n"
     "Args:\n"
     "    a: First hex signature string\n"
     "    b: Second hex signature string\n\n"
     "Returns:\n"
     "    Number of differing bits"},
    {"cosine_from_hamming", as_cfunction(cosine_from_hamming), METH_FASTCALL | METH_KEYWORDS,
     "cosine_from_hamming(distance_bits, total_bits)\n--\n\n"
     "Estimate cosine similarity from Hamming distance\n\n"
     "Uses the formula: cos(\xcf\x80 \xc3\x97 distance / total_bits)\n\n"
     "Args:\n"
     "    distance_bits: Hamming distance in bits\n"
     "    total_bits: Total number of bits in the signatures\n\n"
     "Returns:\n"
     "    Estimated cosine similarity in [-1, 1]"},
    {"compute_embedding_sha256", as_cfunction(compute_embedding_sha256), METH_FASTCALL | METH_KEYWORDS,
     "compute_embedding_sha256(normalized_embedding)\n--\n\n"
     "Compute canonical SHA-256 hash of a normalized embedding\n\n"
     "The embedding is quantized to 6 decimal places and serialized as JSON\n"
     "with specific formatting (spaces after commas, .0 for whole numbers)\n"
     "to ensure deterministic hashing across implementations.\n\n"
     "Args:\n"
     "    normalized_embedding: L2-normalized embedding vector\n\n"
     "Returns:\n"
     "    Hex-encoded SHA-256 hash"},
};

}  // namespace

std::span<PyMethodDef> native_functions() noexcept { return function_definitions; }

}  // namespace ambrel
