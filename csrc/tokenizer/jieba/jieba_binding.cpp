// Python face of Jieba: __init__(dict_path, hmm_path, user_dict_path,
// idf_path, stop_word_path), cut(sentence) and cut_for_search(sentence).
// The cuts run without the interpreter lock, so threads can cut in parallel
// on one shared instance; the result list is built with the lock held.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "binding/registration.hpp"
#include "data_file_error.hpp"
#include "jieba.hpp"
#include "utf8.hpp"

namespace py = pybind11;

namespace vorn::typing::text {

namespace {

using jieba::DataFileError;
using jieba::Jieba;

std::shared_ptr<Jieba> make_jieba(const std::string& dict_path, const std::string& hmm_path,
                                  const std::string& user_dict_path, const std::string& idf_path,
                                  const std::string& stop_word_path) {
  try {
    return std::make_shared<Jieba>(dict_path, hmm_path, user_dict_path, idf_path, stop_word_path);
  } catch (const DataFileError& error) {
    jieba::raise_data_file_error(error);
  }
}

// A cut's tokens, decoded into code points. Built without the interpreter
// lock, so that with it held only the string objects remain to be made.
struct DecodedTokens {
  std::vector<jieba::TokenSpan> spans;
  std::vector<jieba::DecodedText> texts;
  std::vector<std::uint32_t> code_points;

  void decode(const std::string& sentence) {
    texts.reserve(spans.size());
    code_points.reserve(sentence.size());
    for (const jieba::TokenSpan& span : spans) {
      const std::size_t mark = code_points.size();
      texts.push_back(jieba::decode_utf8(std::string_view(sentence).substr(span.offset, span.length), code_points));
      if (!texts.back().valid) code_points.resize(mark);
    }
  }
};

template <class Char>
void fill(PyObject* text, const std::uint32_t* code_points, std::size_t count) {
  Char* data = static_cast<Char*>(PyUnicode_DATA(text));
  for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<Char>(code_points[i]);
}

// One token as a new str. A token that is not strict UTF-8 (possible only
// when the sentence was given as bytes) goes through Python's own decoder,
// which raises the UnicodeDecodeError.
PyObject* make_token(const std::string& sentence, const jieba::TokenSpan& span, const jieba::DecodedText& text,
                     const std::uint32_t* code_points) {
  if (!text.valid) {
    return PyUnicode_DecodeUTF8(sentence.data() + span.offset, static_cast<Py_ssize_t>(span.length), "strict");
  }
  PyObject* token = PyUnicode_New(static_cast<Py_ssize_t>(text.chars), static_cast<Py_UCS4>(text.max_char));
  if (token == nullptr) return nullptr;
  switch (PyUnicode_KIND(token)) {
    case PyUnicode_1BYTE_KIND: fill<Py_UCS1>(token, code_points, text.chars); break;
    case PyUnicode_2BYTE_KIND: fill<Py_UCS2>(token, code_points, text.chars); break;
    default: fill<Py_UCS4>(token, code_points, text.chars); break;
  }
  return token;
}

template <void (Jieba::*Cut)(const std::string&, std::vector<jieba::TokenSpan>&) const>
std::vector<py::str> cut_without_lock(const std::shared_ptr<Jieba>& self, const std::string& sentence) {
  const Jieba& segmenter = *self;
  DecodedTokens cut;
  {
    py::gil_scoped_release unlocked;
    (segmenter.*Cut)(sentence, cut.spans);
    cut.decode(sentence);
  }
  // The standard list conversion then puts the strings into a new list in order.
  std::vector<py::str> tokens;
  tokens.reserve(cut.spans.size());
  const std::uint32_t* code_points = cut.code_points.data();
  for (std::size_t i = 0; i < cut.spans.size(); ++i) {
    PyObject* token = make_token(sentence, cut.spans[i], cut.texts[i], code_points);
    if (token == nullptr) throw py::error_already_set();
    tokens.push_back(py::reinterpret_steal<py::str>(token));
    code_points += cut.texts[i].chars;
  }
  return tokens;
}

}  // namespace

void register_jieba(py::module_& module) {
  py::class_<Jieba, std::shared_ptr<Jieba>> cls(module, "Jieba");
  cls.def(py::init(&make_jieba), py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"),
          py::arg("idf_path"), py::arg("stop_word_path"))
      .def("cut", &cut_without_lock<&Jieba::cut>, py::arg("sentence"))
      .def("cut_for_search", &cut_without_lock<&Jieba::cut_for_search>, py::arg("sentence"));
  refuse_pickling(cls, "durevarare.Jieba");
}

}  // namespace vorn::typing::text
