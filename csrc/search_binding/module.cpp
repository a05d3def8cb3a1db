// durevarare_search._native: the search package's native core. The module
// durevarare keeps its own two classes; everything the search layer runs
// natively is registered here.

#include <pybind11/pybind11.h>

#include "registration.hpp"

PYBIND11_MODULE(_native, module) {
  vorn::typing::text::search::register_file_writer(module);
  vorn::typing::text::search::register_index(module);
  vorn::typing::text::search::register_analyzer(module);
  vorn::typing::text::search::register_store(module);
}
