// Helper module for the benchmarks. The "floor" functions do only what any
// conforming binding must do for the same call: convert the same arguments
// and hand back a std::map with as many entries as the real result, so the
// module's encoders can be measured against the cost of the conversions.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cppjieba/Jieba.hpp"
#include "json/json_value.hpp"
#include "search/analyzer.hpp"

namespace py = pybind11;

namespace {

template <class Token>
std::map<Token, double> floor_map(const std::vector<Token>& tokens) {
  std::map<Token, double> out;
  for (const Token& token : tokens) out.emplace(token, 1.0);
  return out;
}

using vorn::typing::text::JsonValue;

// A parsed document kept on the native side, so that serialisation can be
// timed on its own.
struct JsonDocument {
  JsonValue value;
};

// The limit for the Python class Jieba: cppjieba's own front cutting
// pre-converted sentences in a C++ loop, with no Python in between.
class RawJieba {
 public:
  RawJieba(const std::string& dict, const std::string& hmm, const std::string& user, const std::string& idf,
           const std::string& stop)
      : jieba_(dict, hmm, user, idf, stop) {}

  // Seconds taken to cut every sentence once; returns (seconds, tokens).
  std::pair<double, std::size_t> time_cut(const std::vector<std::string>& sentences, bool for_search) const {
    py::gil_scoped_release unlocked;
    std::vector<std::string> words;
    std::size_t tokens = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& sentence : sentences) {
      if (for_search) {
        jieba_.CutForSearch(sentence, words, true);
      } else {
        jieba_.Cut(sentence, words, true);
      }
      tokens += words.size();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), tokens};
  }

 private:
  cppjieba::Jieba jieba_;
};

// The search analyzer against the cut alone, in C++ loops over the same
// texts: what the analysis adds to cutting. "Cut" is the segmenter's
// search cut of the texts as the analyzer hands them over (normalised,
// folded, split), with every token made a string, as any caller of the
// segmenter gets them.
class Analysis {
 public:
  Analysis(const std::string& dict_folder, const std::string& opencc_folder, std::vector<std::string> stop_words)
      : segmenter_(std::make_shared<vorn::typing::text::jieba::Segmenter>(
            dict_folder + "/jieba.dict.utf8", dict_folder + "/hmm_model.utf8", dict_folder + "/user.dict.utf8")),
        analyzer_(settings(std::move(stop_words)), segmenter_,
                  std::make_shared<vorn::typing::text::search::TraditionalToSimplified>(
                      opencc_folder + "/TSPhrases.txt", opencc_folder + "/TSCharacters.txt"),
                  std::make_shared<vorn::typing::text::search::Normalizer>()) {}

  // Seconds to cut `texts` as the analyzer hands them to the segmenter, on
  // one thread, and the tokens made (returned so that no work is elided).
  std::pair<double, std::size_t> time_cut(const std::vector<std::string>& texts) const {
    py::gil_scoped_release unlocked;
    std::vector<std::string> prepared;
    prepared.reserve(texts.size());
    for (const std::string& text : texts) prepared.push_back(analyzer_.prepared(text));
    std::vector<vorn::typing::text::jieba::TokenSpan> spans;
    std::size_t tokens = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& text : prepared) {
      segmenter_->cut_for_search(text, spans);
      std::vector<std::string> words;
      words.reserve(spans.size());
      for (const auto& span : spans) words.emplace_back(text, span.offset, span.length);
      tokens += words.size();
    }
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), tokens};
  }
  // Seconds to analyse `texts` on `threads` threads, and the words made.
  std::pair<double, std::size_t> time_analysis(const std::vector<std::string>& texts, unsigned threads) const {
    py::gil_scoped_release unlocked;
    const auto start = std::chrono::steady_clock::now();
    const auto words = analyzer_.document_words(texts, threads);
    std::size_t count = 0;
    for (const auto& document : words) count += document.size();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), count};
  }

 private:
  static vorn::typing::text::search::AnalyzerSettings settings(std::vector<std::string> stop_words) {
    vorn::typing::text::search::AnalyzerSettings out;
    out.letters_digits = vorn::typing::text::search::LettersDigits::Both;
    out.query_cut = vorn::typing::text::search::Cut::Mixed;  // the defaults
    out.stop_words = std::move(stop_words);
    return out;
  }

  std::shared_ptr<vorn::typing::text::jieba::Segmenter> segmenter_;
  vorn::typing::text::search::Analyzer analyzer_;
};

}  // namespace

PYBIND11_MODULE(durevarare_bench, module) {
  module.def("floor", [](const std::vector<std::string>& tokens) { return floor_map(tokens); });
  module.def("floor", [](const std::vector<std::int64_t>& tokens) { return floor_map(tokens); });
  module.def("floor_train", [](const std::vector<std::string>& tokens) { return tokens.size(); });
  module.def("floor_train", [](const std::vector<std::int64_t>& tokens) { return tokens.size(); });

  // JSON: parse text (diagnostics discarded) and serialise a parsed document.
  py::class_<JsonDocument>(module, "JsonDocument")
      .def(py::init([](const std::string& text) {
        std::ostringstream diagnostics;
        return JsonDocument{JsonValue::parse(text, diagnostics)};
      }))
      .def("serialize", [](const JsonDocument& document) { return document.value.serialize(1, "  ").size(); })
      .def("members", [](const JsonDocument& document) { return document.value.object_entries().size(); });

  py::class_<RawJieba>(module, "RawJieba")
      .def(py::init<const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&>())
      .def("time_cut", &RawJieba::time_cut);

  py::class_<Analysis>(module, "Analysis")
      .def(py::init<const std::string&, const std::string&, std::vector<std::string>>())
      .def("time_cut", &Analysis::time_cut)
      .def("time_analysis", &Analysis::time_analysis);
}
