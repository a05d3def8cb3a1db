// Memory running out in the middle of an operation: every allocation of the
// test binary goes through the operator new below, which can be told to fail
// after a given number of successes. Each operation is run with its first,
// second, third ... allocation failing until it gets through; after every
// failure the model must be exactly as it was before the call.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "bm25/bm25.hpp"
#include "temp_dir.hpp"

namespace {
std::atomic<long> allocations_left{-1};  // -1: never fail
}  // namespace

void* operator new(std::size_t size) {
  long left = allocations_left.load();
  while (left >= 0 && !allocations_left.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
// The other forms go the same way, so that any pair of them matches (the
// libraries the tests link use them).
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept { return operator new(size, nothrow); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

using vorn::typing::text::BM25;
using vorn::typing::text::TokenTable;

// Fails the allocation after `successes` more, for as long as it lives.
class FailingAllocations {
 public:
  explicit FailingAllocations(long successes) { allocations_left = successes; }
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
  ~FailingAllocations() { allocations_left = -1; }
};

std::string state_of(const BM25& model) {
  TempDir dir;
  const std::string path = (dir / "m.json").string();
  model.dump(path);
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {}) + "\ntotal " +
         std::to_string(model.doc_length_total());
}

// Runs `operation` on `model` with each of its allocations failing in turn;
// returns how many failures it went through.
template <class Operation>
int fail_each_allocation(BM25& model, Operation operation) {
  for (long successes = 0;; ++successes) {
    const std::string before = state_of(model);
    try {
      FailingAllocations failing(successes);
      operation(model);
      return static_cast<int>(successes);
    } catch (const std::bad_alloc&) {
    }
    EXPECT_EQ(state_of(model), before) << "after allocation " << successes << " failed";
    if (::testing::Test::HasFailure()) return -1;
  }
}

BM25 trained_model() {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"short", "a much longer token", "short"});
  model.train(std::vector<std::int64_t>{7, 123456789012});
  return model;
}

// Enough new tokens, short and long, to grow both the slots and the arena.
std::vector<std::string> many_tokens(int count) {
  std::vector<std::string> tokens;
  for (int i = 0; i < count; ++i) {
    tokens.push_back(i % 3 == 0 ? "a longer token number " + std::to_string(i) : "t" + std::to_string(i));
  }
  return tokens;
}

TEST(OutOfMemory, TrainEitherAddsTheWholeDocumentOrNothing) {
  BM25 model = trained_model();
  const std::vector<std::string> strings = many_tokens(300);
  EXPECT_GT(fail_each_allocation(model, [&](BM25& m) { m.train(strings); }), 1);
  EXPECT_EQ(model.doc_count(), 3);
  std::vector<std::int64_t> integers;
  for (std::int64_t i = 0; i < 300; ++i) integers.push_back(i * 1'000'000'007);
  EXPECT_GT(fail_each_allocation(model, [&](BM25& m) { m.train(integers); }), 1);
  EXPECT_EQ(model.doc_count(), 4);
}

TEST(OutOfMemory, LoadEitherAppliesTheWholeDocumentOrNothing) {
  BM25 source(0.5, 2.0);
  source.train(many_tokens(60));
  const std::string text = state_of(source).substr(0, state_of(source).rfind("\ntotal"));
  BM25 model = trained_model();
  EXPECT_GT(fail_each_allocation(model, [&](BM25& m) { m.load(text); }), 1);
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.b(), 0.5);
}

TEST(OutOfMemory, ReservedInsertionsNeverAllocate) {
  TokenTable table;
  const std::vector<std::string> keys = many_tokens(1000);
  std::size_t arena_bytes = 0;
  for (const std::string& key : keys) arena_bytes += TokenTable::arena_bytes(key);
  table.reserve(keys.size(), arena_bytes);
  FailingAllocations failing(0);
  for (const std::string& key : keys) table[key] += 1;
  EXPECT_EQ(table.size(), keys.size());
}

}  // namespace
