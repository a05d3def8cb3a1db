#pragma once
// Registration of durevarare_search._native, one routine per bound piece of
// the search core; the module entry calls them in turn.

#include <pybind11/pybind11.h>

namespace vorn::typing::text::search {

void register_file_writer(pybind11::module_& module);
void register_index(pybind11::module_& module);

}  // namespace vorn::typing::text::search
