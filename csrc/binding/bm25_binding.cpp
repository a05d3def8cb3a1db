// Python face of BM25. Every method takes `self` as a shared_ptr so that an
// instance whose native object was never constructed (made with __new__
// alone) is refused with RuntimeError instead of being dereferenced.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../bm25/bm25.hpp"
#include "registration.hpp"

namespace py = pybind11;

namespace vorn::typing::text {

namespace {

// A dump writes without the interpreter lock, once its text is made: a
// write blocked in a system call (a FIFO with no reader) then holds up no
// other thread. It stays interruptible: Python's signal handlers run at each
// interruption, and one that raises (KeyboardInterrupt) stops the dump with
// its exception.
void dump(const BM25& model, const std::string& path) {
  const std::string text = model.document_text();
  py::gil_scoped_release unlocked;
  BM25::write_document(path, text, [] {
    py::gil_scoped_acquire locked;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  });
}

}  // namespace

void register_bm25(py::module_& module) {
  using Self = const std::shared_ptr<BM25>&;
  using Strings = std::vector<std::string>;
  using Integers = std::vector<std::int64_t>;

  py::class_<BM25, std::shared_ptr<BM25>> cls(module, "BM25");
  cls.def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def("b", [](Self self) { return self->b(); })
      .def("b", [](Self self, double value) { self->b(value); })
      .def("k1", [](Self self) { return self->k1(); })
      .def("k1", [](Self self, double value) { self->k1(value); })
      .def("train", [](Self self, const Strings& tokens) { self->train(tokens); })
      .def("train", [](Self self, const Integers& tokens) { self->train(tokens); })
      .def("load", [](Self self, const std::string& json_text) { self->load(json_text); })
      .def("dump", [](Self self, const std::string& path) { dump(*self, path); })
      .def("encode_document", [](Self self, const Strings& tokens) { return self->encode_document(tokens); })
      .def("encode_document", [](Self self, const Integers& tokens) { return self->encode_document(tokens); })
      .def("encode_query", [](Self self, const Strings& tokens) { return self->encode_query(tokens); })
      .def("encode_query", [](Self self, const Integers& tokens) { return self->encode_query(tokens); });
  refuse_pickling(cls, "durevarare.BM25");
}

}  // namespace vorn::typing::text
