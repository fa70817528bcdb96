#include "lsh/records.hpp"

#include <new>
#include <string>
#include <vector>

#include "module/arguments.hpp"
#include "module/entry.hpp"
#include "module/failure.hpp"
#include "module/once_cell.hpp"

namespace ambrel {

namespace {

struct ConfigFields {
    std::uint64_t families;
    std::uint64_t bits;
    std::uint64_t bands;
};

struct FamilyFields {
    std::uint64_t family;
    std::uint64_t bits;
    std::string signature;
    std::vector<std::string> bands;
};

struct LshConfigObject {
    PyObject base;
    ConfigFields fields;
};

struct LshFamilyObject {
    PyObject base;
    FamilyFields fields;
};

ConfigFields& config_of(PyObject* self) { return reinterpret_cast<LshConfigObject*>(self)->fields; }
FamilyFields& family_of(PyObject* self) { return reinterpret_cast<LshFamilyObject*>(self)->fields; }

OnceCell g_family_type;
OnceCell g_config_type;

constexpr Parameters<3> kConfigParameters{"LshConfig.__new__()", {"families", "bits", "bands"}, 0};
constexpr Parameters<4> kFamilyParameters{"LshFamily.__new__()", {"family", "bits", "signature", "bands"}, 4};

PyRef new_str(const std::string& text) {
    return check_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// An instance as object.__new__(cls) makes it: the base type's tp_new with an
// empty argument tuple.
PyRef allocate_instance(PyTypeObject* type) {
    PyRef no_arguments = check_new(PyTuple_New(0));
    PyRef self = PyRef::steal(PyBaseObject_Type.tp_new(type, no_arguments.get(), nullptr));
    if (!self) throw PyFailure::fetch();
    return self;
}

// ---- LshConfig

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto slots = match(kConfigParameters, args, kwargs);
        ConfigFields fields{lsh::kDefaultFamilies, lsh::kDefaultBits, lsh::kDefaultBands};
        if (slots[0] != nullptr) fields.families = to_unsigned(slots[0], "families");
        if (slots[1] != nullptr) fields.bits = to_unsigned(slots[1], "bits");
        if (slots[2] != nullptr) fields.bands = to_unsigned(slots[2], "bands");
        PyRef self = allocate_instance(type);
        new (&config_of(self.get())) ConfigFields(fields);
        return self.release();
    });
}

PyObject* config_repr(PyObject* self) {
    return guarded([self] {
        const ConfigFields& f = config_of(self);
        const std::string text = "LshConfig(families=" + std::to_string(f.families) +
                                 ", bits=" + std::to_string(f.bits) + ", bands=" + std::to_string(f.bands) + ")";
        return new_str(text).release();
    });
}

PyObject* config_families(PyObject* self, void*) {
    return guarded([self] { return check_new(PyLong_FromUnsignedLongLong(config_of(self).families)).release(); });
}
PyObject* config_bits(PyObject* self, void*) {
    return guarded([self] { return check_new(PyLong_FromUnsignedLongLong(config_of(self).bits)).release(); });
}
PyObject* config_bands(PyObject* self, void*) {
    return guarded([self] { return check_new(PyLong_FromUnsignedLongLong(config_of(self).bands)).release(); });
}

void config_dealloc(PyObject* self) {
    guarded_infallible([self] {
        PyTypeObject* type = Py_TYPE(self);
        config_of(self).~ConfigFields();
        type->tp_free(self);
        Py_DECREF(type);
    });
}

PyGetSetDef config_getset[] = {
    {"families", config_families, nullptr, nullptr, nullptr},
    {"bits", config_bits, nullptr, nullptr, nullptr},
    {"bands", config_bands, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- LshFamily

PyObject* family_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto slots = match(kFamilyParameters, args, kwargs);
        const std::uint64_t family = to_unsigned(slots[0], "family");
        const std::uint64_t bits = to_unsigned(slots[1], "bits");
        std::string signature = to_owned_text(slots[2], "signature");
        std::vector<std::string> bands = to_text_list(slots[3], "bands");
        PyRef self = allocate_instance(type);
        new (&family_of(self.get())) FamilyFields{family, bits, std::move(signature), std::move(bands)};
        return self.release();
    });
}

// The first `count` code points of a UTF-8 text.
std::string_view utf8_prefix(std::string_view text, std::size_t count) {
    std::size_t seen = 0;
    for (std::size_t k = 0; k < text.size(); ++k) {
        const auto byte = static_cast<unsigned char>(text[k]);
        if ((byte & 0xC0) != 0x80) {  // a lead byte starts a code point
            if (seen == count) return text.substr(0, k);
            ++seen;
        }
    }
    return text;
}

PyObject* family_repr(PyObject* self) {
    return guarded([self] {
        const FamilyFields& f = family_of(self);
        std::string text =
            "LshFamily(family=" + std::to_string(f.family) + ", bits=" + std::to_string(f.bits) + ", signature='";
        text += utf8_prefix(f.signature, 8);
        text += "...', bands=" + std::to_string(f.bands.size()) + ")";
        return new_str(text).release();
    });
}

PyObject* family_family(PyObject* self, void*) {
    return guarded([self] { return check_new(PyLong_FromUnsignedLongLong(family_of(self).family)).release(); });
}
PyObject* family_bits(PyObject* self, void*) {
    return guarded([self] { return check_new(PyLong_FromUnsignedLongLong(family_of(self).bits)).release(); });
}
PyObject* family_signature(PyObject* self, void*) {
    return guarded([self] { return new_str(family_of(self).signature).release(); });
}
PyObject* family_bands(PyObject* self, void*) {
    return guarded([self] {
        const std::vector<std::string>& bands = family_of(self).bands;
        PyRef list = check_new(PyList_New(static_cast<Py_ssize_t>(bands.size())));
        for (std::size_t k = 0; k < bands.size(); ++k) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), new_str(bands[k]).release());
        }
        return list.release();
    });
}

void family_dealloc(PyObject* self) {
    guarded_infallible([self] {
        PyTypeObject* type = Py_TYPE(self);
        family_of(self).~FamilyFields();
        type->tp_free(self);
        Py_DECREF(type);
    });
}

PyGetSetDef family_getset[] = {
    {"family", family_family, nullptr, nullptr, nullptr},
    {"bits", family_bits, nullptr, nullptr, nullptr},
    {"signature", family_signature, nullptr, nullptr, nullptr},
    {"bands", family_bands, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kConfigDoc =
    "LshConfig(families=3, bits=256, bands=16)\n--\n\nLSH configuration\n\n"
    "This mirrors the Python LshConfig dataclass from ambrel.types";
constexpr const char* kFamilyDoc =
    "LshFamily(family, bits, signature, bands)\n--\n\nLSH family result containing signature and bands\n\n"
    "This mirrors the Python LSHFamily dataclass from ambrel.lsh";

PyRef create_type(const char* name, int basic_size, const char* doc, newfunc tp_new, reprfunc tp_repr,
                  PyGetSetDef* getset, destructor tp_dealloc) {
    PyType_Slot slots[7];
    int k = 0;
    if (doc != nullptr && doc[0] != '\0') slots[k++] = {Py_tp_doc, const_cast<char*>(doc)};
    slots[k++] = {Py_tp_new, reinterpret_cast<void*>(tp_new)};
    slots[k++] = {Py_tp_repr, reinterpret_cast<void*>(tp_repr)};
    slots[k++] = {Py_tp_getset, getset};
    slots[k++] = {Py_tp_base, &PyBaseObject_Type};
    slots[k++] = {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)};
    slots[k] = {0, nullptr};
    PyType_Spec type_spec{name, basic_size, 0, 0, slots};
    PyRef type = PyRef::steal(PyType_FromSpec(&type_spec));
    if (!type) {
        // CPython 3.13 returns NULL without an exception when it cannot
        // allocate its copy of the type name; that is memory exhaustion too.
        if (PyErr_Occurred() == nullptr) PyErr_NoMemory();
        throw PyFailure::fetch();
    }
    return type;
}

}  // namespace

PyObject* lsh_family_type() {
    return g_family_type.get_or_init([] {
        return create_type("builtins.LshFamily", static_cast<int>(sizeof(LshFamilyObject)), kFamilyDoc, family_new,
                           family_repr, family_getset, family_dealloc);
    });
}

PyObject* lsh_config_type() {
    return g_config_type.get_or_init([] {
        return create_type("builtins.LshConfig", static_cast<int>(sizeof(LshConfigObject)), kConfigDoc, config_new,
                           config_repr, config_getset, config_dealloc);
    });
}

PyRef make_lsh_family(PyObject* type, lsh::FamilySignature&& record) {
    // On failure `record` is left untouched for the caller to release.
    PyRef self = allocate_instance(reinterpret_cast<PyTypeObject*>(type));
    new (&family_of(self.get()))
        FamilyFields{record.family, record.bits, std::move(record.signature), std::move(record.bands)};
    return self;
}

}  // namespace ambrel
