#include "bm25/bm25.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using vorn::typing::text::BM25;
using Strings = std::vector<std::string>;
using Integers = std::vector<std::int64_t>;

namespace {

std::int32_t frequency(const BM25& model, const std::string& key) {
  const std::int32_t* found = model.doc_token_frequency().find(key);
  return found ? *found : -1;
}

template <class F>
void expect_runtime_error(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "expected std::runtime_error " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), message);
  }
}

// The corpus of the worked examples: "a b a" then "b".
BM25 two_document_model() {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a", "b", "a"});
  model.train(Strings{"b"});
  return model;
}

}  // namespace

TEST(BM25Train, WorkedExampleCountsOccurrences) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a", "b", "a"});
  EXPECT_EQ(frequency(model, "a"), 2);
  EXPECT_EQ(frequency(model, "b"), 1);
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.doc_length_total(), 3);
  EXPECT_EQ(model.doc_length_average(), 3.0);
  model.train(Strings{"b"});
  EXPECT_EQ(frequency(model, "b"), 2);
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_total(), 4);
  EXPECT_EQ(model.doc_length_average(), 2.0);
}

TEST(BM25Train, EmptyListFailsAndChangesNothing) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"x"});
  expect_runtime_error([&] { model.train(Strings{}); }, "trainning tokens_vec should not be empty");
  expect_runtime_error([&] { model.train(Integers{}); }, "trainning tokens_vec should not be empty");
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.doc_length_total(), 1);
  EXPECT_EQ(model.doc_token_frequency().size(), 1u);
}

TEST(BM25Train, IntegerAndStringTokensShareKeys) {
  BM25 model(0.75, 1.2);
  model.train(Integers{7, -7, 7});
  EXPECT_EQ(frequency(model, "7"), 2);
  EXPECT_EQ(frequency(model, "-7"), 1);
  EXPECT_EQ(model.doc_length_average(), 3.0);
  model.train(Strings{"7"});
  EXPECT_EQ(frequency(model, "7"), 3);
  EXPECT_EQ(model.doc_count(), 2);
}

TEST(BM25Train, EmptyStringAndExtremeIntegersAreKeys) {
  BM25 model(0.75, 1.2);
  model.train(Strings{""});
  EXPECT_EQ(frequency(model, ""), 1);
  EXPECT_EQ(BM25::token_key(std::int64_t{0}), "0");
  EXPECT_EQ(BM25::token_key(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(BM25::token_key(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
}

TEST(BM25Train, AverageIsIndependentOfOrder) {
  BM25 first(0.75, 1.2), second(0.75, 1.2);
  first.train(Strings{"a", "b"});
  first.train(Strings{"a", "b", "c", "d", "e"});
  second.train(Strings{"a", "b", "c", "d", "e"});
  second.train(Strings{"a", "b"});
  EXPECT_EQ(first.doc_length_average(), 3.5);
  EXPECT_EQ(second.doc_length_average(), 3.5);
}

TEST(BM25Train, ParametersAreStoredUnchecked) {
  BM25 model(2.0, -1.0);
  EXPECT_EQ(model.b(), 2.0);
  EXPECT_EQ(model.k1(), -1.0);
  model.b(0.6);
  model.k1(1.5);
  EXPECT_EQ(model.b(), 0.6);
  EXPECT_EQ(model.k1(), 1.5);
}

// Room is made for the keys a document adds, not for those already known:
// a table just under 3/4 full keeps its size for a document of known tokens.
TEST(BM25Train, KnownTokensNeverGrowTheTable) {
  for (const bool integers : {false, true}) {
    BM25 model(0.75, 1.2);
    Strings strings;
    Integers numbers;
    for (std::int64_t i = 0; i < 12; ++i) {
      strings.push_back("token " + std::to_string(i));  // longer than the inline 8 bytes
      numbers.push_back(1'000'000'000 + i);
    }
    const auto train = [&] { integers ? model.train(numbers) : model.train(strings); };
    train();
    const std::size_t capacity = model.doc_token_frequency().capacity();
    ASSERT_EQ(capacity, 16u);  // 12 of 16 slots: full
    train();
    EXPECT_EQ(model.doc_token_frequency().capacity(), capacity);
    const std::string known = integers ? R"("1000000000": 3, "1000000011": 3)" : R"("token 0": 5, "token 1": 5)";
    model.load(R"({"_b": 0.75, "_doc_count": 2, "_doc_length_average": 12.0, "_k1": 1.2, "_doc_token_frequency": {)" +
               known + "}}");
    EXPECT_EQ(model.doc_token_frequency().capacity(), capacity);
    model.train(Strings{"new"});
    EXPECT_GT(model.doc_token_frequency().capacity(), capacity);
  }
}

TEST(BM25Count, CountsEveryDistinctToken) {
  const Strings tokens{"x", "y", "x", "x", ""};
  const BM25 model(0.75, 1.2);
  const auto counts = model.count_tokens(tokens);
  EXPECT_EQ(counts.distinct(), 3u);
  const auto sorted = counts.sorted();
  ASSERT_EQ(sorted.size(), 3u);
  EXPECT_EQ(sorted[0].key, "");
  EXPECT_EQ(sorted[1].key, "x");
  EXPECT_EQ(sorted[1].count, 3);
  const auto integers = model.count_tokens(Integers{5, 5, 9, -1});
  EXPECT_EQ(integers.distinct(), 3u);
  EXPECT_EQ(integers.sorted().front().key, -1);
}

TEST(BM25Encode, DocumentWorkedExampleIsExact) {
  const BM25 model = two_document_model();
  const auto vector = model.encode_document(Strings{"a", "b", "a"});
  ASSERT_EQ(vector.size(), 2u);
  EXPECT_EQ(vector.begin()->first, "a");
  EXPECT_EQ(vector.at("a"), 0.547945205479452);
  EXPECT_EQ(vector.at("b"), 0.37735849056603776);
}

TEST(BM25Encode, QueryWorkedExampleIsExact) {
  const BM25 model = two_document_model();
  EXPECT_EQ(model.token_idf("a"), 0.1823215567939546);
  EXPECT_EQ(model.token_idf("c"), 0.6931471805599453);
  const auto query = model.encode_query(Strings{"a", "c"});
  EXPECT_EQ(query.at("a"), 0.2082559308114424);
  EXPECT_EQ(query.at("c"), 0.7917440691885577);
  EXPECT_EQ(model.encode_query(Strings{"c", "a", "c"}), query);
  EXPECT_EQ(model.encode_query(Strings{"zzz"}).at("zzz"), 1.0);
}

TEST(BM25Encode, OccurrenceCountsCanMakeWeightsNegative) {
  BM25 model(0.75, 1.2);
  model.train(Strings{"x", "x", "x"});
  EXPECT_EQ(model.token_idf("x"), -0.5596157879354228);
  EXPECT_EQ(model.token_idf("y"), 0.28768207245178085);
  const auto query = model.encode_query(Strings{"x", "y"});
  EXPECT_EQ(query.at("x"), 2.05791248407771);
  EXPECT_EQ(query.at("y"), -1.0579124840777099);
}

TEST(BM25Encode, IntegerTokensLookUpTextKeysAndSortNumerically) {
  BM25 model(0.75, 1.2);
  model.train(Integers{5, 5, 9});
  model.train(Strings{"3"});
  const auto query = model.encode_query(Integers{9});
  ASSERT_EQ(query.size(), 1u);
  EXPECT_EQ(query.begin()->first, 9);
  const auto mixed = model.encode_query(Integers{3, -1});
  EXPECT_EQ(mixed.begin()->first, -1);
  EXPECT_EQ(model.token_idf("3"), std::log(3.0 / 1.5));
  const auto document = model.encode_document(Integers{10, -1, 3});
  std::vector<std::int64_t> keys;
  for (const auto& entry : document) keys.push_back(entry.first);
  EXPECT_EQ(keys, (Integers{-1, 3, 10}));
}

TEST(BM25Encode, UntrainedModelRefusesNonEmptyLists) {
  const BM25 model(0.75, 1.2);
  EXPECT_TRUE(model.encode_document(Strings{}).empty());
  EXPECT_TRUE(model.encode_query(Integers{}).empty());
  const std::string message = "BM25 has not been initialized";
  expect_runtime_error([&] { model.encode_document(Strings{"a"}); }, message);
  expect_runtime_error([&] { model.encode_document(Integers{1}); }, message);
  expect_runtime_error([&] { model.encode_query(Strings{"a"}); }, message);
  expect_runtime_error([&] { model.encode_query(Integers{1}); }, message);
}

TEST(BM25Encode, ParameterChangesApplyToTheNextDocument) {
  BM25 model = two_document_model();
  model.b(0.0);
  model.k1(1.0);
  // K = k1 · (1 − b + b · n / avgdl) = 1 whatever the length.
  EXPECT_EQ(model.encode_document(Strings{"a", "a", "a"}).at("a"), 0.75);
}
