#pragma once
// Registration of durevarare_search._native, one routine per bound piece of
// the search core; the module entry calls them in turn.

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace vorn::typing::text::search {

void register_file_writer(pybind11::module_& module);
void register_index(pybind11::module_& module);
void register_analyzer(pybind11::module_& module);

// A Python str as UTF-8; TypeError naming `what` for anything else.
std::string utf8_of(const pybind11::handle& text, const char* what);
// The UTF-8 of every str of an iterable of texts.
std::vector<std::string> texts_of(const pybind11::handle& texts);

}  // namespace vorn::typing::text::search
