#pragma once
// A data file that cannot be used, as Python reports such a file: one that
// cannot be opened becomes the OSError subclass its errno selects
// (FileNotFoundError, PermissionError, ...) with the path as its filename;
// malformed content becomes ValueError. For the bindings of the segmenter.

#include <pybind11/pybind11.h>

#include "data_files.hpp"

namespace vorn::typing::text::jieba {

[[noreturn]] inline void raise_data_file_error(const DataFileError& error) {
  namespace py = pybind11;
  if (error.error_number() == 0) throw py::value_error(error.what());
  const py::object filename = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeFSDefaultAndSize(error.path().data(), static_cast<Py_ssize_t>(error.path().size())));
  if (!filename) throw py::error_already_set();
  const py::tuple arguments = py::make_tuple(error.error_number(), error.what(), filename);
  PyErr_SetObject(PyExc_OSError, arguments.ptr());
  throw py::error_already_set();
}

}  // namespace vorn::typing::text::jieba
