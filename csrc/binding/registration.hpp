#pragma once
// Registration of the module's classes, one routine per bound class; the
// module entry calls them in the order the module shows its attributes.

#include <pybind11/pybind11.h>

namespace vorn::typing::text {

void register_bm25(pybind11::module_& module);
void register_jieba(pybind11::module_& module);

// Makes pickling and copying raise TypeError "cannot pickle '<module>.<name>' object".
// A native object has no state that pickle could rebuild, and the default
// protocols 0 and 1 would create an instance whose native object was never made.
void refuse_pickling(pybind11::handle cls, const char* qualified_name);

}  // namespace vorn::typing::text
