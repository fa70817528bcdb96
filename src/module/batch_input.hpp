// Batch arguments: a matrix of rows pinned for the length of a call, and the
// detaching from the interpreter while the numeric core computes.
#pragma once

#include "module/py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "lsh/batch_rows.hpp"
#include "module/failure.hpp"

namespace ambrel {

// The rows of a batch call. A buffer exporter (a numpy array, a memoryview)
// is read in place: its export is held until the call returns, so the
// exporter cannot resize or free the memory while the rows are read. Any
// other sequence of sequences is converted here, row by row, with the
// conversion of the per-vector functions, into an owned float32 matrix.
//
// Failures name the argument (and the row at fault): a wrong shape, element
// type or byte order, an empty batch, rows of different lengths.
class PinnedRows {
public:
    PinnedRows(PyObject* object, std::string_view parameter);
    ~PinnedRows();
    PinnedRows(const PinnedRows&) = delete;
    PinnedRows& operator=(const PinnedRows&) = delete;

    const lsh::RowMatrix& matrix() const noexcept { return matrix_; }

private:
    void from_buffer(PyObject* object, std::string_view parameter);
    void from_sequence(PyObject* object, std::string_view parameter);

    Py_buffer view_{};
    bool holding_view_ = false;
    std::vector<float> owned_;
    lsh::RowMatrix matrix_;
};

// A read-only contiguous byte buffer argument, held for the call.
class PinnedBytes {
public:
    PinnedBytes(PyObject* object, std::string_view parameter);
    ~PinnedBytes() { PyBuffer_Release(&view_); }
    PinnedBytes(const PinnedBytes&) = delete;
    PinnedBytes& operator=(const PinnedBytes&) = delete;

    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

// Detaches the calling thread from the interpreter for its lifetime; the
// code inside touches no Python object. Reattaches on every path, before an
// exception leaves the scope.
class Detached {
public:
    Detached() noexcept : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// A new bytearray of `size` bytes whose contents the caller fills; its
// storage may be written while detached, as no other code holds it yet.
PyRef new_output(std::uint64_t size);
std::uint8_t* output_bytes(PyObject* bytearray) noexcept;

// A Python int of a size or count.
PyRef number(std::uint64_t value);

// A new tuple that takes the references of `items`.
template <class... Items>
PyObject* tuple_of(Items... items) {
    PyRef owned[] = {std::move(items)...};
    PyRef tuple = check_new(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
    for (std::size_t k = 0; k < sizeof...(Items); ++k)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), owned[k].release());
    return tuple.release();
}

}  // namespace ambrel
