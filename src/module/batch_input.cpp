#include "module/batch_input.hpp"

#include <bit>
#include <string>

#include "lsh/panic.hpp"
#include "module/arguments.hpp"
#include "module/failure.hpp"

namespace ambrel {

namespace {

[[noreturn]] void refuse(PyObject* type, std::string_view parameter, const std::string& message) {
    throw PyFailure(type, std::string(parameter) + " " + message);
}

// The integer element type of `size` bytes.
bool integer_type(std::size_t size, bool is_signed, lsh::ElementType& type) {
    using lsh::ElementType;
    constexpr ElementType kSigned[] = {ElementType::int8, ElementType::int16, ElementType::int32, ElementType::int64};
    constexpr ElementType kUnsigned[] = {ElementType::uint8, ElementType::uint16, ElementType::uint32,
                                         ElementType::uint64};
    for (std::size_t k = 0; k < 4; ++k) {
        if (size == (std::size_t{1} << k)) {
            type = is_signed ? kSigned[k] : kUnsigned[k];
            return true;
        }
    }
    return false;
}

// The element type of a struct-module format of one native number, or
// nothing (with `reason` set) for any other format.
bool element_type(const char* format, Py_ssize_t itemsize, lsh::ElementType& type, std::string& reason) {
    const std::string text = format != nullptr ? format : "B";
    std::string_view code = text;
    if (!code.empty() && (code[0] == '@' || code[0] == '=' || code[0] == '<' || code[0] == '>' || code[0] == '!')) {
        const char order = code[0];
        const bool native = order == '@' || order == '=' ||
                            (order == '<' && std::endian::native == std::endian::little) ||
                            ((order == '>' || order == '!') && std::endian::native == std::endian::big);
        if (!native) {
            reason = "has elements in non-native byte order (format '" + text +
                     "'); convert them first, e.g. with numpy's astype(dtype.newbyteorder('='))";
            return false;
        }
        code.remove_prefix(1);
    }
    if (code.size() != 1) {
        reason = "has elements of format '" + text + "', which are not numbers";
        return false;
    }
    using lsh::ElementType;
    const auto size = static_cast<std::size_t>(itemsize);
    switch (code[0]) {
        case 'f': type = ElementType::float32; return size == 4;
        case 'd': type = ElementType::float64; return size == 8;
        case 'e': type = ElementType::float16; return size == 2;
        case '?': type = ElementType::boolean; return size == 1;
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
        case 'n': return integer_type(size, true, type);
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
        case 'N': return integer_type(size, false, type);
        default: break;
    }
    reason = "has elements of format '" + text +
             "', which are not supported: use float32, float64, float16, integers or bool";
    return false;
}

std::string row_name(std::string_view parameter, std::size_t r) {
    return std::string(parameter) + "[" + std::to_string(r) + "]";
}

}  // namespace

PinnedRows::PinnedRows(PyObject* object, std::string_view parameter) {
    // A constructor that throws runs no destructor: release a buffer export
    // taken before the failure here.
    try {
        if (PyObject_CheckBuffer(object) != 0) {
            from_buffer(object, parameter);
        } else {
            from_sequence(object, parameter);
        }
    } catch (...) {
        if (holding_view_) PyBuffer_Release(&view_);
        holding_view_ = false;
        throw;
    }
}

PinnedRows::~PinnedRows() {
    if (holding_view_) PyBuffer_Release(&view_);
}

void PinnedRows::from_buffer(PyObject* object, std::string_view parameter) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) {
        PyFailure failure = PyFailure::fetch();
        failure.add_note("while processing '" + std::string(parameter) + "'");
        throw std::move(failure);
    }
    holding_view_ = true;
    if (view_.ndim != 2) {
        refuse(PyExc_ValueError, parameter,
               "must be two-dimensional (rows by components), not " + std::to_string(view_.ndim) + "-dimensional");
    }
    if (view_.suboffsets != nullptr)
        refuse(PyExc_ValueError, parameter, "is an indirect buffer, which is not supported");
    std::string reason;
    lsh::ElementType type{};
    if (!element_type(view_.format, view_.itemsize, type, reason)) refuse(PyExc_TypeError, parameter, reason);
    if (view_.shape[0] == 0) refuse(PyExc_ValueError, parameter, "has no rows");
    if (view_.shape[1] == 0) refuse(PyExc_ValueError, parameter, "has rows of no components");
    matrix_.data = static_cast<const char*>(view_.buf);
    matrix_.rows = static_cast<std::size_t>(view_.shape[0]);
    matrix_.cols = static_cast<std::size_t>(view_.shape[1]);
    matrix_.row_stride = view_.strides != nullptr ? view_.strides[0] : view_.shape[1] * view_.itemsize;
    matrix_.col_stride = view_.strides != nullptr ? view_.strides[1] : view_.itemsize;
    matrix_.type = type;
}

void PinnedRows::from_sequence(PyObject* object, std::string_view parameter) {
    if (PyUnicode_Check(object)) {
        refuse(PyExc_TypeError, parameter, "must be a 2-D array or a sequence of sequences of numbers, not str");
    }
    if (Py_TYPE(object)->tp_iter == nullptr && PySequence_Check(object) == 0) {
        refuse(
            PyExc_TypeError, parameter,
            std::string("must be a 2-D array or a sequence of sequences of numbers, not ") + Py_TYPE(object)->tp_name);
    }
    // A snapshot with strong references: another thread changing a list
    // while it is read cannot free a row under us.
    PyRef rows = PyRef::steal(PySequence_Tuple(object));
    if (!rows) {
        PyFailure failure = PyFailure::fetch();
        failure.add_note("while processing '" + std::string(parameter) + "'");
        throw std::move(failure);
    }
    const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(rows.get()));
    if (n == 0) refuse(PyExc_ValueError, parameter, "has no rows");
    std::size_t d = 0;
    for (std::size_t r = 0; r < n; ++r) {
        PyObject* item = PyTuple_GET_ITEM(rows.get(), static_cast<Py_ssize_t>(r));
        const std::string name = row_name(parameter, r);
        std::vector<float> row = converting(name, [&] { return vector_from(item); });
        if (r == 0) {
            d = row.size();
            if (d == 0) refuse(PyExc_ValueError, name, "has no components");
            lsh::checked_product(lsh::checked_product(n, d), sizeof(float));  // the matrix's size is addressable
            owned_.reserve(n * d);
        } else if (row.size() != d) {
            refuse(PyExc_ValueError, name,
                   "has " + std::to_string(row.size()) + " components, but " + row_name(parameter, 0) + " has " +
                       std::to_string(d));
        }
        owned_.insert(owned_.end(), row.begin(), row.end());
    }
    matrix_.data = reinterpret_cast<const char*>(owned_.data());
    matrix_.rows = n;
    matrix_.cols = d;
    matrix_.row_stride = static_cast<std::ptrdiff_t>(d * sizeof(float));
    matrix_.col_stride = sizeof(float);
    matrix_.type = lsh::ElementType::float32;
}

PinnedBytes::PinnedBytes(PyObject* object, std::string_view parameter) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) != 0) {
        PyFailure failure = PyFailure::fetch();
        failure.add_note("while processing '" + std::string(parameter) + "'");
        throw std::move(failure);
    }
}

PyRef new_output(std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) lsh::panic(lsh::kCapacityOverflow);
    // Created empty, then grown: a bytearray created at full size whose
    // storage cannot be allocated is freed half-initialised by CPython 3.13,
    // which then reports a spurious SystemError about exported buffers.
    PyRef bytes = check_new(PyByteArray_FromStringAndSize(nullptr, 0));
    if (PyByteArray_Resize(bytes.get(), static_cast<Py_ssize_t>(size)) != 0) throw PyFailure::fetch();
    return bytes;
}

PyRef number(std::uint64_t value) { return check_new(PyLong_FromUnsignedLongLong(value)); }

std::uint8_t* output_bytes(PyObject* bytearray) noexcept {
    return reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(bytearray));
}

}  // namespace ambrel
