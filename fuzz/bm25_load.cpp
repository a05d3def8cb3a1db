// Random text into BM25::load on a trained model: it either loads or throws
// one of its documented exceptions. Whatever state it leaves, dumping it,
// loading the dump into a fresh model and dumping again gives the same text
// (whenever the model's numbers are finite, which the file can carry).

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "bm25/bm25.hpp"
#include "null_stream.hpp"

using vorn::typing::text::BM25;

namespace {

NullBuffer quiet;
std::string dump_path;

std::string dump_text(const BM25& model) {
  model.dump(dump_path);
  std::ifstream in(dump_path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cerr.rdbuf(&quiet);  // the parser's diagnostics would drown the fuzzer
  const char* const base = std::getenv("TMPDIR");
  std::string folder = std::string(base && *base ? base : "/tmp") + "/bm25-load-fuzz-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) std::abort();
  dump_path = folder + "/model.json";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "b", "a", "line\nfeed"});
  model.train(std::vector<std::int64_t>{7, -7});
  try {
    model.load(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::runtime_error&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  if (!std::isfinite(model.b()) || !std::isfinite(model.k1()) || !std::isfinite(model.doc_length_average())) return 0;
  const std::string first = dump_text(model);
  BM25 fresh(0.0, 0.0);
  fresh.load(first);
  if (dump_text(fresh) != first) std::abort();
  return 0;
}
