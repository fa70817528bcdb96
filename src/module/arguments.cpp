#include "module/arguments.hpp"

#include <cstdint>
#include <limits>

#include "module/failure.hpp"
#include "module/once_cell.hpp"

namespace ambrel {

namespace {

OnceCell g_sequence_type;

[[noreturn]] void type_error(std::string message) { throw PyFailure(PyExc_TypeError, std::move(message)); }

[[noreturn]] void too_many_positional(const Signature& signature, Py_ssize_t given) {
    std::string message = signature.full_name;
    if (signature.required == signature.count) {
        message += " takes " + std::to_string(signature.count);
    } else {
        message += " takes from " + std::to_string(signature.required) + " to " + std::to_string(signature.count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    type_error(std::move(message));
}

[[noreturn]] void unexpected_keyword(const Signature& signature, PyObject* name) {
    // The keyword is shown as str() of the name, which need not be valid UTF-8.
    PyRef message =
        check_new(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", signature.full_name, name));
    PyRef exception = check_new(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    throw PyFailure(std::move(exception));
}

[[noreturn]] void missing_required(const Signature& signature, PyObject** slots) {
    std::vector<std::string_view> missing;
    for (std::size_t k = 0; k < signature.required; ++k) {
        if (slots[k] == nullptr) missing.push_back(signature.names[k]);
    }
    std::string message = signature.full_name;
    message += " missing " + std::to_string(missing.size()) + " required positional argument";
    message += missing.size() == 1 ? ": " : "s: ";
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) {
            if (missing.size() == 2) {
                message += " and ";
            } else {
                message += k + 1 == missing.size() ? ", and " : ", ";
            }
        }
        message += '\'';
        message += missing[k];
        message += '\'';
    }
    type_error(std::move(message));
}

void fill_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t k = 0; k < given && k < signature.count; ++k) slots[k] = args[k];
    if (given > signature.count) too_many_positional(signature, nargs);
}

// The UTF-8 bytes of a keyword name; ASCII names (the usual case) are read
// in place.
const char* keyword_utf8(PyObject* name, Py_ssize_t& size) {
    if (!PyUnicode_Check(name)) return nullptr;
    if (PyUnicode_IS_COMPACT_ASCII(name)) {
        size = PyUnicode_GET_LENGTH(name);
        return static_cast<const char*>(PyUnicode_DATA(name));
    }
    return PyUnicode_AsUTF8AndSize(name, &size);
}

void fill_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** slots) {
    Py_ssize_t size = 0;
    const char* utf8 = keyword_utf8(name, size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a name that cannot be encoded matches nothing
    } else {
        const std::string_view key(utf8, static_cast<std::size_t>(size));
        for (std::size_t k = 0; k < signature.count; ++k) {
            if (key == signature.names[k]) {
                if (slots[k] != nullptr) {
                    std::string message = signature.full_name;
                    message += " got multiple values for argument '";
                    message += signature.names[k];
                    message += '\'';
                    type_error(std::move(message));
                }
                slots[k] = value;
                return;
            }
        }
    }
    unexpected_keyword(signature, name);
}

void check_required(const Signature& signature, Py_ssize_t nargs, PyObject** slots) {
    if (static_cast<std::size_t>(nargs) >= signature.required) return;
    for (std::size_t k = 0; k < signature.required; ++k) {
        if (slots[k] == nullptr) missing_required(signature, slots);
    }
}

std::string note_for(const char* parameter) { return std::string("while processing '") + parameter + "'"; }

// Runs a conversion; an ordinary failure gets the parameter's note.
template <class Convert>
auto with_note(const char* parameter, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PyFailure& failure) {
        failure.add_note(note_for(parameter).c_str());
        throw;
    }
}

std::string_view utf8_of(PyObject* object) {
    if (!PyUnicode_Check(object)) downcast_failure(object, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) throw PyFailure::fetch();
    return {utf8, static_cast<std::size_t>(size)};
}

}  // namespace

void match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** slots) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
    fill_positional(signature, args, nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            fill_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
        }
    }
    check_required(signature, nargs, slots);
}

void match_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    fill_positional(signature, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, slots);
    if (kwargs != nullptr) {
        // The dictionary is the call's own (built by the interpreter for this
        // call), so iterating it without a lock is safe.
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) fill_keyword(signature, name, value, slots);
    }
    check_required(signature, nargs, slots);
}

PyObject* sequence_type() {
    return g_sequence_type.get_or_init([] {
        PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
        PyRef type = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence")) : PyRef();
        if (!type) {
            // Describe the import error (type, value, traceback) in the panic.
            std::string description = "failed to import collections.abc.Sequence";
            PyRef exception = PyRef::steal(PyErr_GetRaisedException());
            if (exception) {
                PyRef traceback_module = PyRef::steal(PyImport_ImportModule("traceback"));
                PyRef lines = traceback_module ? PyRef::steal(PyObject_CallMethod(
                                                     traceback_module.get(), "format_exception", "O", exception.get()))
                                               : PyRef();
                PyRef empty = PyRef::steal(PyUnicode_FromString(""));
                PyRef text = lines && empty ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
                const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
                if (utf8 != nullptr) {
                    description += ": ";
                    description += utf8;
                }
                PyErr_Clear();
            }
            lsh::panic(std::move(description));
        }
        return type;
    });
}

namespace detail {

void refuse_str_and_non_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) {
        PyObject* type = sequence_type();
        std::string target = "Sequence";
        if (PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)))) {
            if (const char* utf8 = PyUnicode_AsUTF8(name.get())) target = utf8;
        }
        PyErr_Clear();
        downcast_failure(object, target.c_str());
    }
}

std::size_t length_hint(PyObject* object, std::size_t element_size) {
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    const auto count = static_cast<std::size_t>(length);
    if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / element_size) {
        lsh::panic(lsh::kCapacityOverflow);
    }
    return count;
}

}  // namespace detail

std::uint64_t to_unsigned(PyObject* object, const char* parameter) {
    return with_note(parameter, [object]() -> std::uint64_t {
        unsigned long long value;
        if (PyLong_Check(object)) {
            value = PyLong_AsUnsignedLongLong(object);
        } else {
            PyRef index = PyRef::steal(PyNumber_Index(object));
            if (!index) throw PyFailure::fetch();
            value = PyLong_AsUnsignedLongLong(index.get());
        }
        if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
            throw PyFailure::fetch();
        }
        return value;
    });
}

std::vector<float> to_vector(PyObject* object, const char* parameter) {
    return with_note(parameter, [object] { return detail::vector_from_object(object); });
}

std::string_view to_text(PyObject* object, const char* parameter) {
    return with_note(parameter, [object] { return utf8_of(object); });
}

std::string to_owned_text(PyObject* object, const char* parameter) {
    return with_note(parameter, [object] { return std::string(utf8_of(object)); });
}

std::vector<std::string> to_text_list(PyObject* object, const char* parameter) {
    return with_note(parameter, [object] {
        detail::refuse_str_and_non_sequence(object);
        std::vector<std::string> texts;
        texts.reserve(detail::length_hint(object, sizeof(std::string)));
        PyRef iterator = PyRef::steal(PyObject_GetIter(object));
        if (!iterator) throw PyFailure::fetch();
        while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
            texts.emplace_back(utf8_of(item.get()));
        }
        if (PyErr_Occurred() != nullptr) throw PyFailure::fetch();
        return texts;
    });
}

}  // namespace ambrel
