// Matching a call's arguments to a callable's parameters, and converting them
// to plain values.
//
// Each callable states its parameters once, in a static `Parameters` table:
//
//   constexpr Parameters<2> kParameters{"cosine_from_hamming()", {"distance_bits", "total_bits"}, 2};
//   const auto arguments = bind(kParameters, args, nargsf, kwnames);
//   const std::uint64_t distance = arguments.to_unsigned(0);
//
// Every parameter may be passed by position or by keyword; the first
// `required` parameters must be given. Matching failures are TypeErrors with
// this module's fixed wording. A conversion names its parameter by position
// in the table; its failures keep their exception and gain the note
// "while processing '<parameter>'". Callers convert in parameter order, so
// the first wrong argument is the one reported.
#pragma once

#include "module/failure.hpp"
#include "module/py_ref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel {

// A parameter table without its size, for the matching code.
struct ParameterList {
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

    constexpr ParameterList list() const noexcept { return {full_name, names.data(), N, required}; }
};

// Plain conversions of one argument, without a note.
std::uint64_t unsigned_from(PyObject* object);
std::vector<float> vector_from(PyObject* object);
// Borrows the string's UTF-8 form for the duration of the call.
std::string_view text_from(PyObject* object);
std::string owned_text_from(PyObject* object);
std::vector<std::string> text_list_from(PyObject* object);

// Runs `convert()`; an ordinary failure gets the note naming `parameter`.
// Inlined so that a call costs no more than the conversion itself.
template <class Convert>
[[gnu::always_inline]] inline auto converting(std::string_view parameter, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PyFailure& failure) {
        failure.add_note("while processing '" + std::string(parameter) + "'");
        throw;
    }
}

// The arguments of one call, matched to the parameters: one borrowed object
// per parameter, nullptr when it was not given.
template <std::size_t N>
class BoundArguments {
public:
    explicit BoundArguments(const Parameters<N>& parameters) noexcept : parameters_(&parameters) {}

    bool given(std::size_t k) const noexcept { return objects_[k] != nullptr; }
    PyObject* object(std::size_t k) const noexcept { return objects_[k]; }
    std::string_view name(std::size_t k) const noexcept { return parameters_->names[k]; }

    // Converts parameter k with any conversion `T convert(PyObject*)`.
    template <class Convert>
    auto to(std::size_t k, Convert&& convert) const {
        PyObject* object = objects_[k];
        return converting(name(k), [&] { return convert(object); });
    }

    std::uint64_t to_unsigned(std::size_t k) const { return to(k, unsigned_from); }
    // The default when parameter k was not given.
    std::uint64_t to_unsigned(std::size_t k, std::uint64_t absent) const { return given(k) ? to_unsigned(k) : absent; }
    std::vector<float> to_vector(std::size_t k) const { return to(k, vector_from); }
    std::string_view to_text(std::size_t k) const { return to(k, text_from); }
    std::string to_owned_text(std::size_t k) const { return to(k, owned_text_from); }
    std::vector<std::string> to_text_list(std::size_t k) const { return to(k, text_list_from); }

    // The matching fills these in place (see bind): copying the array after
    // it was written element by element would stall on store forwarding.
    PyObject** objects() noexcept { return objects_.data(); }

private:
    const Parameters<N>* parameters_;
    std::array<PyObject*, N> objects_{};
};

// Fast-call form: positional arguments, then the keyword values in the order
// of `kwnames`. Fills objects[0 .. count-1].
void match_fastcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** objects);

// Tuple-and-dictionary form (tp_new); keywords in the dictionary's order.
void match_tuple_dict(const ParameterList& parameters, PyObject* args, PyObject* kwargs, PyObject** objects);

template <std::size_t N>
BoundArguments<N> bind(const Parameters<N>& parameters, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    BoundArguments<N> bound(parameters);
    match_fastcall(parameters.list(), args, nargsf, kwnames, bound.objects());
    return bound;
}

template <std::size_t N>
BoundArguments<N> bind(const Parameters<N>& parameters, PyObject* args, PyObject* kwargs) {
    BoundArguments<N> bound(parameters);
    match_tuple_dict(parameters.list(), args, kwargs, bound.objects());
    return bound;
}

// The collections.abc.Sequence type, imported once per process on first need.
PyObject* sequence_type();

namespace detail {
// Steps shared by the vector and text-list conversions.
void refuse_str_and_non_sequence(PyObject* object);
// The reservation for a sequence's length hint (0 when it has none); panics
// with "capacity overflow" when `hint * element_size` exceeds the address space.
std::size_t length_hint(PyObject* object, std::size_t element_size);
}  // namespace detail

}  // namespace ambrel
