// Helper module for the benchmarks. The "floor" functions do only what any
// conforming binding must do for the same call: convert the same arguments
// and hand back a std::map with as many entries as the real result, so the
// module's encoders can be measured against the cost of the conversions.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

template <class Token>
std::map<Token, double> floor_map(const std::vector<Token>& tokens) {
  std::map<Token, double> out;
  for (const Token& token : tokens) out.emplace(token, 1.0);
  return out;
}

}  // namespace

PYBIND11_MODULE(durevarare_bench, module) {
  module.def("floor", [](const std::vector<std::string>& tokens) { return floor_map(tokens); });
  module.def("floor", [](const std::vector<std::int64_t>& tokens) { return floor_map(tokens); });
  module.def("floor_train", [](const std::vector<std::string>& tokens) { return tokens.size(); });
  module.def("floor_train", [](const std::vector<std::int64_t>& tokens) { return tokens.size(); });
}
