// Matching a call's arguments to a callable's parameters, and converting them
// to plain values.
//
// Every parameter may be passed by position or by keyword; the first
// `required` parameters must be given. Matching failures are TypeErrors with
// CPython's usual wording. Conversion failures keep their exception and gain
// the note "while processing '<parameter>'".
#pragma once

#include "module/py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel {

struct Signature {
    const char* full_name;  // "normalize_vector()" or "LshConfig.__new__()"
    const std::string_view* names;
    std::size_t count;
    std::size_t required;
};

template <std::size_t N>
struct Parameters {
    const char* full_name;
    std::array<std::string_view, N> names;
    std::size_t required;

    constexpr Signature signature() const noexcept { return {full_name, names.data(), N, required}; }
};

// One borrowed argument per parameter; nullptr when not given.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

// Fast-call form: positional arguments, then the keyword values in the order
// of `kwnames`.
void match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots);

// Tuple-and-dictionary form (tp_new); keywords in the dictionary's order.
void match_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
Slots<N> match(const Parameters<N>& parameters, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Slots<N> slots{};
    match_fastcall(parameters.signature(), args, nargsf, kwnames, slots.data());
    return slots;
}

template <std::size_t N>
Slots<N> match(const Parameters<N>& parameters, PyObject* args, PyObject* kwargs) {
    Slots<N> slots{};
    match_tuple_dict(parameters.signature(), args, kwargs, slots.data());
    return slots;
}

// Conversions; `parameter` names the argument in the failure's note.
std::uint64_t to_unsigned(PyObject* object, const char* parameter);
std::vector<float> to_vector(PyObject* object, const char* parameter);
// Borrows the string's UTF-8 form for the duration of the call.
std::string_view to_text(PyObject* object, const char* parameter);
std::string to_owned_text(PyObject* object, const char* parameter);
std::vector<std::string> to_text_list(PyObject* object, const char* parameter);

// The collections.abc.Sequence type, imported once per process.
PyObject* sequence_type();

namespace detail {
// Steps shared by the vector and text-list conversions.
void refuse_str_and_non_sequence(PyObject* object);
// The reservation for a sequence's length hint (0 when it has none); panics
// with "capacity overflow" when `hint * element_size` exceeds the address space.
std::size_t length_hint(PyObject* object, std::size_t element_size);
std::vector<float> vector_from_object(PyObject* object);
}  // namespace detail

}  // namespace ambrel
