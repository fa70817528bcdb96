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

// An LshFamily holds the core's record as it is.
using FamilyFields = lsh::FamilySignature;

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
        const auto arguments = bind(kConfigParameters, args, kwargs);
        ConfigFields fields{};
        fields.families = arguments.to_unsigned(0, lsh::kDefaultFamilies);
        fields.bits = arguments.to_unsigned(1, lsh::kDefaultBits);
        fields.bands = arguments.to_unsigned(2, lsh::kDefaultBands);
        PyRef self = allocate_instance(type);
        new (&config_of(self.get())) ConfigFields(fields);
        return self.release();
    });
}

PyObject* config_repr(PyObject* self) {
    return guarded([self] {
        const ConfigFields& config = config_of(self);
        const std::string text = "LshConfig(families=" + std::to_string(config.families) +
                                 ", bits=" + std::to_string(config.bits) + ", bands=" + std::to_string(config.bands) +
                                 ")";
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
        const auto arguments = bind(kFamilyParameters, args, kwargs);
        const std::uint64_t family = arguments.to_unsigned(0);
        const std::uint64_t bits = arguments.to_unsigned(1);
        std::string signature = arguments.to_owned_text(2);
        std::vector<std::string> bands = arguments.to_text_list(3);
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
        const FamilyFields& family = family_of(self);
        std::string text = "LshFamily(family=" + std::to_string(family.family) +
                           ", bits=" + std::to_string(family.bits) + ", signature='";
        text += utf8_prefix(family.signature, 8);
        text += "...', bands=" + std::to_string(family.bands.size()) + ")";
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

PyType_Slot config_slots[] = {
    {Py_tp_doc, const_cast<char*>(kConfigDoc)},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_getset, config_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(config_dealloc)},
    {0, nullptr},
};

PyType_Slot family_slots[] = {
    {Py_tp_doc, const_cast<char*>(kFamilyDoc)},
    {Py_tp_new, reinterpret_cast<void*>(family_new)},
    {Py_tp_repr, reinterpret_cast<void*>(family_repr)},
    {Py_tp_getset, family_getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(family_dealloc)},
    {0, nullptr},
};

PyType_Spec config_type_description = {
    .name = "builtins.LshConfig",
    .basicsize = static_cast<int>(sizeof(LshConfigObject)),
    .itemsize = 0,
    .flags = 0,
    .slots = config_slots,
};

PyType_Spec family_type_description = {
    .name = "builtins.LshFamily",
    .basicsize = static_cast<int>(sizeof(LshFamilyObject)),
    .itemsize = 0,
    .flags = 0,
    .slots = family_slots,
};

PyRef create_type(PyType_Spec& description) {
    PyRef type = PyRef::steal(PyType_FromSpec(&description));
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
    return g_family_type.get_or_init([] { return create_type(family_type_description); });
}

PyObject* lsh_config_type() {
    return g_config_type.get_or_init([] { return create_type(config_type_description); });
}

PyRef make_lsh_family(PyObject* type, lsh::FamilySignature&& record) {
    // On failure `record` is left untouched for the caller to release.
    PyRef self = allocate_instance(reinterpret_cast<PyTypeObject*>(type));
    new (&family_of(self.get())) FamilyFields(std::move(record));
    return self;
}

}  // namespace ambrel
