#pragma once
// Registration of durevarare_search._native, one routine per bound piece of
// the search core; the module entry calls them in turn.

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <vector>

namespace vorn::typing::text::search {

void register_file_writer(pybind11::module_& module);
void register_index(pybind11::module_& module);
void register_analyzer(pybind11::module_& module);
void register_store(pybind11::module_& module);

// A Python str as UTF-8; TypeError naming `what` for anything else.
std::string utf8_of(const pybind11::handle& text, const char* what);
// The UTF-8 of every str of an iterable of texts.
std::vector<std::string> texts_of(const pybind11::handle& texts);
// A list of str.
pybind11::list list_of(const std::vector<std::string>& words);

// Writes `contents` to `path` through the file writer, without the
// interpreter lock; OSError naming the path when it cannot.
void write_file(const std::string& path, std::string_view contents);

// The result of `call`, run without the interpreter lock: it must touch no
// Python object.
template <class Call>
auto unlocked(Call&& call) {
  pybind11::gil_scoped_release released;
  return call();
}

// prepare_fork of a bound index or store, for os.register_at_fork
// (durevarare_search._fork). An open write holds the writer's mutex while
// its thread runs Python, so it is waited for without the interpreter lock,
// and taken only with it, so that no thread ever holds the interpreter lock
// waiting for the index while this one holds the index waiting for the
// interpreter. The searches are then waited for with it: none needs it to
// finish. Without `wait`, false at once (nothing held) while another writes.
template <class Core>
bool prepare_fork(Core& core, bool wait) {
  while (!core.try_prepare_fork()) {
    if (!wait) return false;
    unlocked([&] { core.wait_for_writer(); });
  }
  return true;
}

}  // namespace vorn::typing::text::search
