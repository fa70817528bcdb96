#include "module/once_cell.hpp"

#include "module/failure.hpp"

namespace ambrel {

PyObject* InternedString::get() {
    return cell_.get_or_init([this] { return check_new(PyUnicode_InternFromString(text_)); });
}

}  // namespace ambrel
