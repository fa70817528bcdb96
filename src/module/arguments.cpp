#include "module/arguments.hpp"

#include <cstdint>
#include <limits>
#include <optional>

#include "module/failure.hpp"
#include "module/once_cell.hpp"

namespace ambrel {

namespace {

OnceCell g_sequence_type;

[[noreturn]] void type_error(std::string message) { throw PyFailure(PyExc_TypeError, std::move(message)); }

[[noreturn]] void too_many_positional(const ParameterList& parameters, Py_ssize_t given) {
    std::string message = parameters.full_name;
    if (parameters.required == parameters.count) {
        message += " takes " + std::to_string(parameters.count);
    } else {
        message += " takes from " + std::to_string(parameters.required) + " to " + std::to_string(parameters.count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    type_error(std::move(message));
}

[[noreturn]] void unexpected_keyword(const ParameterList& parameters, PyObject* name) {
    // The keyword is shown as str() of the name, which need not be valid UTF-8.
    PyRef message =
        check_new(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", parameters.full_name, name));
    PyRef exception = check_new(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    throw PyFailure(std::move(exception));
}

[[noreturn]] void missing_required(const ParameterList& parameters, PyObject** objects) {
    std::vector<std::string_view> missing;
    for (std::size_t k = 0; k < parameters.required; ++k) {
        if (objects[k] == nullptr) missing.push_back(parameters.names[k]);
    }
    std::string message = parameters.full_name;
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

void fill_positional(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject** objects) {
    const auto given = static_cast<std::size_t>(nargs);
    for (std::size_t k = 0; k < given && k < parameters.count; ++k) objects[k] = args[k];
    if (given > parameters.count) too_many_positional(parameters, nargs);
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

void fill_keyword(const ParameterList& parameters, PyObject* name, PyObject* value, PyObject** objects) {
    Py_ssize_t size = 0;
    const char* utf8 = keyword_utf8(name, size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a name that cannot be encoded matches nothing
    } else {
        const std::string_view key(utf8, static_cast<std::size_t>(size));
        for (std::size_t k = 0; k < parameters.count; ++k) {
            if (key == parameters.names[k]) {
                if (objects[k] != nullptr) {
                    std::string message = parameters.full_name;
                    message += " got multiple values for argument '";
                    message += parameters.names[k];
                    message += '\'';
                    type_error(std::move(message));
                }
                objects[k] = value;
                return;
            }
        }
    }
    unexpected_keyword(parameters, name);
}

void check_required(const ParameterList& parameters, Py_ssize_t nargs, PyObject** objects) {
    if (static_cast<std::size_t>(nargs) >= parameters.required) return;
    for (std::size_t k = 0; k < parameters.required; ++k) {
        if (objects[k] == nullptr) missing_required(parameters, objects);
    }
}

std::string_view utf8_of(PyObject* object) {
    if (!PyUnicode_Check(object)) downcast_failure(object, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) throw PyFailure::fetch();
    return {utf8, static_cast<std::size_t>(size)};
}

// "failed to import collections.abc.Sequence: " and the import error: its
// traceback as the traceback module formats it, or, when that fails (the
// traceback module needs collections.abc too), its type and str().
std::string describe_import_failure() {
    std::string description = "failed to import collections.abc.Sequence";
    const PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) return description;
    std::optional<std::string> text;
    if (PyRef traceback = PyRef::steal(PyImport_ImportModule("traceback"))) {
        PyRef lines = PyRef::steal(PyObject_CallMethod(traceback.get(), "format_exception", "O", exception.get()));
        PyRef empty = PyRef::steal(PyUnicode_FromString(""));
        if (lines && empty) text = take_utf8(PyUnicode_Join(empty.get(), lines.get()));
    }
    PyErr_Clear();
    if (!text) {
        const std::optional<std::string> type = type_name_utf8(Py_TYPE(exception.get()));
        const std::optional<std::string> value = str_utf8(exception.get());
        if (type) text = value && !value->empty() ? *type + ": " + *value : *type;
    }
    if (text) description += ": " + *text;
    return description;
}

}  // namespace

void match_fastcall(const ParameterList& parameters, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** objects) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
    fill_positional(parameters, args, nargs, objects);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            fill_keyword(parameters, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], objects);
        }
    }
    check_required(parameters, nargs, objects);
}

void match_tuple_dict(const ParameterList& parameters, PyObject* args, PyObject* kwargs, PyObject** objects) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    fill_positional(parameters, reinterpret_cast<PyTupleObject*>(args)->ob_item, nargs, objects);
    if (kwargs != nullptr) {
        // The dictionary is the call's own (built by the interpreter for this
        // call), so iterating it without a lock is safe.
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) fill_keyword(parameters, name, value, objects);
    }
    check_required(parameters, nargs, objects);
}

PyObject* sequence_type() {
    return g_sequence_type.get_or_init([] {
        PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
        PyRef type = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence")) : PyRef();
        if (!type) lsh::panic(describe_import_failure());
        return type;
    });
}

namespace detail {

void refuse_str_and_non_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) {
        PyObject* type = sequence_type();
        const std::string target = type_name_utf8(reinterpret_cast<PyTypeObject*>(type)).value_or("Sequence");
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

std::uint64_t unsigned_from(PyObject* object) {
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
}

std::string_view text_from(PyObject* object) { return utf8_of(object); }

std::string owned_text_from(PyObject* object) { return std::string(utf8_of(object)); }

std::vector<std::string> text_list_from(PyObject* object) {
    detail::refuse_str_and_non_sequence(object);
    std::vector<std::string> texts;
    texts.reserve(detail::length_hint(object, sizeof(std::string)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) throw PyFailure::fetch();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) texts.emplace_back(utf8_of(item.get()));
    if (PyErr_Occurred() != nullptr) throw PyFailure::fetch();
    return texts;
}

}  // namespace ambrel
