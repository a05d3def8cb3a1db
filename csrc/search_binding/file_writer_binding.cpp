// write_file: the writer behind BM25.dump, for the search layer's files.

#include <pybind11/pybind11.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "bm25/file_replace.hpp"
#include "registration.hpp"

namespace py = pybind11;

namespace vorn::typing::text::search {

namespace {

// Writes without the interpreter lock; at each interruption by a signal the
// handlers run, and one that raises stops the write with its exception.
void write_file(const std::string& path, const py::bytes& data) {
  const std::string_view contents(data);  // the bytes object outlives the call
  WriteHooks hooks;
  hooks.interrupted = [] {
    py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  };
  WriteOutcome outcome = WriteOutcome::Written;
  int error = 0;
  {
    py::gil_scoped_release unlocked;
    errno = 0;
    outcome = replace_file_contents(path, contents, hooks);
    error = errno;
  }
  if (outcome == WriteOutcome::Written) return;
  errno = error != 0 ? error : outcome == WriteOutcome::OpenFailed ? EACCES : EIO;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, py::str(path).ptr());
  throw py::error_already_set();
}

}  // namespace

void register_file_writer(py::module_& module) {
  module.def("write_file", &write_file, py::arg("path"), py::arg("data"),
             "Writes `data` to `path` as opening it for writing would, except that the old text is never lost "
             "half way: a plain file is replaced whole, keeping its owner, mode and attributes.");
}

}  // namespace vorn::typing::text::search
