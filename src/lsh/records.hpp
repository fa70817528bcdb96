// The two record classes, LshConfig and LshFamily: immutable values with
// read-only attributes and a repr, as interpreter heap types.
#pragma once

#include "module/py_ref.hpp"

#include "lsh/simhash.hpp"

namespace ambrel {

// Get-or-create the type objects (borrowed references, kept for the whole
// process and shared by every module object). A creation failure is the
// exception that PyType_FromSpec set.
PyObject* lsh_family_type();
PyObject* lsh_config_type();

// Builds an LshFamily instance from a computed record, moving its texts in.
// On failure the texts are released and the allocation's exception is thrown.
PyRef make_lsh_family(PyObject* type, lsh::FamilySignature&& record);

}  // namespace ambrel
