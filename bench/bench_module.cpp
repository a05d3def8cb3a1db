// Helper module for the benchmarks. The "floor" functions do only what any
// conforming binding must do for the same call: convert the same arguments
// and hand back a std::map with as many entries as the real result, so the
// module's encoders can be measured against the cost of the conversions.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cppjieba/Jieba.hpp"
#include "json/json_value.hpp"

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
}
