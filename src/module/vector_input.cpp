// Conversion of a Python sequence of numbers to 32-bit floats.
//
// The general route is the sequence protocol: length hint, iteration, each
// item read as a double and narrowed. Exact lists and tuples are read in place
// with the same item-by-item semantics as their iterators, and one-dimensional
// float32/float64 buffers of types whose iteration yields exactly the buffer's
// values (numpy.ndarray, array.array, memoryview) are read through the buffer
// protocol; both give the same values and errors as iterating. numpy.ndarray
// and array.array are recognised by identity: the type objects are looked up
// in their modules (once, after the module has been imported), so a class
// that merely carries such a name is iterated like any other sequence.
#include "module/arguments.hpp"

#include <bit>
#include <cstring>
#include <exception>

#include "lsh/fp_env.hpp"
#include "module/failure.hpp"
#include "module/once_cell.hpp"

namespace ambrel {

namespace {

class FloatSink {
public:
    explicit FloatSink(std::size_t reserve) { values_.reserve(reserve); }

    void push(double value) {
        if (values_.size() == values_.capacity()) values_.reserve(values_.size() < 2 ? 4 : 2 * values_.size());
        values_.push_back(lsh::narrow_to_float(value));
    }
    std::vector<float> take() && { return std::move(values_); }

private:
    std::vector<float> values_;
};

// The double value of one item: exact floats directly, everything else
// through PyFloat_AsDouble (int, bool, __float__, __index__).
double item_value(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    const double value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw PyFailure::fetch();
    return value;
}

// Runs `body` while holding the object's per-object lock on a free-threaded
// interpreter (a no-op otherwise); exceptions leave the section first.
template <class Body>
void in_critical_section([[maybe_unused]] PyObject* object, Body&& body) {
    std::exception_ptr error;
    Py_BEGIN_CRITICAL_SECTION(object);
    try {
        body();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_CRITICAL_SECTION();
    if (error) std::rethrow_exception(error);
}

// Reads a list the way its iterator would: the length is re-read before each
// item, so a list that shrinks or grows while an item's __float__ runs is
// handled exactly as iteration handles it.
std::vector<float> from_list(PyObject* list) {
    FloatSink sink(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    in_critical_section(list, [&] {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            if (PyFloat_CheckExact(item)) {
                sink.push(PyFloat_AS_DOUBLE(item));
                continue;
            }
            const PyRef held = PyRef::borrow(item);  // __float__ may drop the list's reference
            sink.push(item_value(held.get()));
        }
    });
    return std::move(sink).take();
}

std::vector<float> from_tuple(PyObject* tuple) {
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    FloatSink sink(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) sink.push(item_value(PyTuple_GET_ITEM(tuple, i)));
    return std::move(sink).take();
}

enum class BufferKind { none, float32, float64 };

bool native_format(const char* format, char code, bool allow_explicit_little_endian) {
    if (format == nullptr) return false;
    if (format[0] == '@')
        ++format;
    else if (allow_explicit_little_endian &&
             (format[0] == '=' || (format[0] == '<' && std::endian::native == std::endian::little)))
        ++format;
    return format[0] == code && format[1] == '\0';
}

BufferKind buffer_kind(const Py_buffer& view, bool allow_explicit_little_endian) {
    if (view.ndim != 1 || view.shape == nullptr || view.suboffsets != nullptr) return BufferKind::none;
    if (view.itemsize == 4 && native_format(view.format, 'f', allow_explicit_little_endian)) return BufferKind::float32;
    if (view.itemsize == 8 && native_format(view.format, 'd', allow_explicit_little_endian)) return BufferKind::float64;
    return BufferKind::none;
}

// Types whose iteration over a one-dimensional float buffer yields exactly
// the buffer's values as numbers. Subclasses may override iteration, so
// only the exact types qualify.
enum class BufferSource { none, ndarray, array, memoryview };

// A type of an extension module, found by identity. The cell is filled the
// first time an object whose type carries the type's name shows up after the
// module has been imported; until then nothing qualifies (an instance of the
// real type cannot exist before its module is imported, and a class that
// only has the name never matches the stored type).
class KnownType {
public:
    constexpr KnownType(const char* module, const char* attribute, const char* type_name) noexcept
        : module_(module), attribute_(attribute), type_name_(type_name) {}

    bool is(PyTypeObject* type) {
        if (PyObject* known = cell_.get()) return reinterpret_cast<PyObject*>(type) == known;
        if (std::strcmp(type->tp_name, type_name_) != 0) return false;
        PyObject* known = look_up();
        return known != nullptr && reinterpret_cast<PyObject*>(type) == known;
    }

private:
    // The type from the imported module, stored for the process; nullptr
    // (no error pending) while the module has not been imported.
    PyObject* look_up() {
        const PyRef name = PyRef::steal(PyUnicode_FromString(module_));
        const PyRef module = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
        PyRef type = module ? PyRef::steal(PyObject_GetAttrString(module.get(), attribute_)) : PyRef();
        if (!type || !PyType_Check(type.get())) {
            PyErr_Clear();
            return nullptr;
        }
        return cell_.get_or_init([&type] { return std::move(type); });
    }

    const char* module_;
    const char* attribute_;
    const char* type_name_;
    OnceCell cell_;
};

KnownType g_ndarray("numpy", "ndarray", "numpy.ndarray");
KnownType g_array("array", "array", "array.array");

BufferSource buffer_source(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyMemoryView_Type) return BufferSource::memoryview;
    if (type->tp_as_buffer == nullptr) return BufferSource::none;
    if (g_ndarray.is(type)) return BufferSource::ndarray;
    if (g_array.is(type)) return BufferSource::array;
    return BufferSource::none;
}

// Narrowing a float32 value through double gives it back unchanged (only a
// signalling NaN would become quiet, which no result can tell apart), so
// float32 elements are copied as they are.
inline float element_value(float value) noexcept { return value; }
inline float element_value(double value) noexcept { return lsh::narrow_to_float(value); }

template <class T>
void read_strided(const Py_buffer& view, std::vector<float>& out) {
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        T value;
        std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof value);
        out[i] = element_value(value);
    }
}

// Returns true and fills `out` when the object was read as a buffer.
bool try_buffer(PyObject* object, std::vector<float>& out) {
    const BufferSource source = buffer_source(object);
    if (source == BufferSource::none) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    // memoryview iterates through struct-style unpacking, which only knows
    // native formats; numpy yields its scalars whatever the notation.
    const BufferKind kind = buffer_kind(view, source == BufferSource::ndarray);
    if (kind == BufferKind::none) return false;
    if (kind == BufferKind::float32) {
        read_strided<float>(view, out);
    } else {
        read_strided<double>(view, out);
    }
    return true;
}

}  // namespace

std::vector<float> vector_from(PyObject* object) {
    if (PyList_CheckExact(object)) return from_list(object);
    if (PyTuple_CheckExact(object)) return from_tuple(object);
    if (std::vector<float> values; try_buffer(object, values)) return values;

    detail::refuse_str_and_non_sequence(object);
    FloatSink sink(detail::length_hint(object, sizeof(float)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) throw PyFailure::fetch();
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) sink.push(item_value(item.get()));
    if (PyErr_Occurred() != nullptr) throw PyFailure::fetch();
    return std::move(sink).take();
}

}  // namespace ambrel
