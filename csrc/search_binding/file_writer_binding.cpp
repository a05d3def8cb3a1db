// write_file: the writer behind BM25.dump, for the search layer's files.

#include <pybind11/pybind11.h>

#include <pybind11/stl.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bm25/bm25.hpp"
#include "bm25/file_replace.hpp"
#include "registration.hpp"

namespace py = pybind11;

namespace vorn::typing::text::search {

// At each interruption by a signal the handlers run, and one that raises
// stops the write with its exception.
void write_file(const std::string& path, std::string_view contents) {
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

namespace {

// The BM25 model document of counts summed elsewhere (a cluster's reduce),
// as the module's dump writes it: the same keys, escapes and number format.
py::bytes model_document(double b, double k1, std::uint64_t documents, std::uint64_t length_total,
                         const std::vector<std::pair<std::string, std::uint64_t>>& frequencies) {
  constexpr std::uint64_t kMost = std::numeric_limits<std::int32_t>::max();
  std::vector<std::pair<std::string_view, std::int32_t>> entries;
  entries.reserve(frequencies.size());
  for (const auto& [token, count] : frequencies) entries.emplace_back(token, static_cast<std::int32_t>(std::min(count, kMost)));
  const auto count = static_cast<std::int32_t>(std::min(documents, kMost));
  const double average = count == 0 ? 0.0 : static_cast<double>(length_total) / static_cast<double>(count);
  return py::bytes(BM25::document_text(b, k1, count, average, entries));
}

}  // namespace

void register_file_writer(py::module_& module) {
  module.def("model_document", &model_document, py::arg("b"), py::arg("k1"), py::arg("documents"),
             py::arg("length_total"), py::arg("frequencies"),
             "The text of the BM25 model document of these counts, as BM25.dump writes it (for BM25.load).");
  module.def("write_file", [](const std::string& path, const py::bytes& data) { write_file(path, std::string_view(data)); },
             py::arg("path"), py::arg("data"),
             "Writes `data` to `path` as opening it for writing would, except that the old text is never lost "
             "half way: a plain file is replaced whole, keeping its owner, mode and attributes.");
}

}  // namespace vorn::typing::text::search
