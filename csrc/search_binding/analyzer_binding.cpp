// Python face of the native analysis: durevarare_search._native.Segmenter
// (the cutting half of Jieba), Converter (traditional to simplified) and
// Analyzer. Building a segmenter and analysing texts run without the
// interpreter lock.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "registration.hpp"
#include "search/analyzer.hpp"
#include "tokenizer/jieba/data_file_error.hpp"

namespace py = pybind11;

namespace vorn::typing::text::search {

std::string utf8_of(const py::handle& text, const char* what) {
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string(what) + " are str, not " + Py_TYPE(text.ptr())->tp_name);
  }
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (bytes == nullptr) throw py::error_already_set();  // lone surrogates
  return std::string(bytes, static_cast<std::size_t>(size));
}

py::list list_of(const std::vector<std::string>& words) {
  py::list out(words.size());
  for (std::size_t i = 0; i < words.size(); ++i) out[i] = py::str(words[i]);
  return out;
}

namespace {

Cut cut_of(const std::string& name, const char* setting) {
  if (name == "search") return Cut::Search;
  if (name == "cut") return Cut::Mixed;
  throw py::value_error(std::string(setting) + " must be \"search\" or \"cut\"");
}

LettersDigits letters_digits_of(const std::string& name) {
  if (name == "split") return LettersDigits::Split;
  if (name == "keep") return LettersDigits::Keep;
  if (name == "both") return LettersDigits::Both;
  throw py::value_error("letters_digits must be \"split\", \"keep\" or \"both\"");
}

}  // namespace

std::vector<std::string> texts_of(const py::handle& texts) {
  std::vector<std::string> out;
  for (const py::handle text : texts) out.push_back(utf8_of(text, "document texts"));
  return out;
}

void register_analyzer(py::module_& module) {
  module.def("normalize", [](const py::handle& text) {
    std::string out;
    Normalizer().normalize(utf8_of(text, "texts"), out);
    return out;
  }, py::arg("text"), "NFKC, then case folding, as the analyzer does it (for tests: it builds its tables each call).");
  py::class_<jieba::Segmenter, std::shared_ptr<jieba::Segmenter>>(module, "Segmenter")
      .def(py::init([](const std::string& dict_path, const std::string& hmm_path, const std::string& user_dict_path) {
             try {
               py::gil_scoped_release unlocked;
               return std::make_shared<jieba::Segmenter>(dict_path, hmm_path, user_dict_path);
             } catch (const jieba::DataFileError& error) {
               jieba::raise_data_file_error(error);
             }
           }),
           py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"));
  py::class_<TraditionalToSimplified, std::shared_ptr<TraditionalToSimplified>>(module, "Converter")
      .def(py::init<const std::string&, const std::string&>(), py::arg("phrases_path"), py::arg("characters_path"))
      .def("convert", [](const TraditionalToSimplified& self, const py::handle& text) {
        std::string out;
        self.convert(utf8_of(text, "texts"), out);
        return out;
      });
  py::class_<Analyzer, std::shared_ptr<Analyzer>>(module, "Analyzer")
      .def(py::init([](std::shared_ptr<jieba::Segmenter> segmenter, std::shared_ptr<TraditionalToSimplified> converter,
                       bool normalize, bool fold_traditional, bool split_punctuation, const std::string& letters_digits,
                       bool drop_non_words, const std::string& query_cut, std::vector<std::string> stop_words,
                       const std::string& document_cut) {
             AnalyzerSettings settings{normalize, fold_traditional, split_punctuation, letters_digits_of(letters_digits),
                                       drop_non_words, cut_of(query_cut, "query_cut"), std::move(stop_words),
                                       cut_of(document_cut, "document_cut")};
             return std::make_shared<Analyzer>(std::move(settings), std::move(segmenter), std::move(converter),
                                               std::make_shared<Normalizer>());
           }),
           py::arg("segmenter"), py::arg("converter"), py::kw_only(), py::arg("normalize"),
           py::arg("fold_traditional"), py::arg("split_punctuation"), py::arg("letters_digits"),
           py::arg("drop_non_words"), py::arg("query_cut"), py::arg("stop_words"), py::arg("document_cut") = "search")
      .def("document_words", [](const Analyzer& self, const py::handle& text) {
        const std::string utf8 = utf8_of(text, "texts");
        return list_of(unlocked([&] { return self.document_words(utf8); }));
      })
      .def("query_words", [](const Analyzer& self, const py::handle& text) {
        const std::string utf8 = utf8_of(text, "queries");
        return list_of(unlocked([&] { return self.query_words(utf8); }));
      })
      .def("document_words_many", [](const Analyzer& self, const py::iterable& texts, unsigned threads) {
        const std::vector<std::string> utf8 = texts_of(texts);
        const std::vector<std::vector<std::string>> words = unlocked([&] { return self.document_words(utf8, threads); });
        py::list out(words.size());
        for (std::size_t i = 0; i < words.size(); ++i) out[i] = list_of(words[i]);
        return out;
      }, py::arg("texts"), py::arg("threads"));
}

}  // namespace vorn::typing::text::search
