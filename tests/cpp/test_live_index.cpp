// The live index against its two references: the module's own vectors
// (scores are inner products of BM25's encode_query and encode_document
// over the live documents, to the last bit), and a fresh index of the live
// documents, whatever sequence of adds, updates and deletes came before.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "bm25/bm25.hpp"
#include "search/live_index.hpp"

namespace {

using vorn::typing::text::BM25;
using namespace vorn::typing::text::search;

using Words = std::vector<std::string>;
using Live = std::vector<Document>;  // the live documents, in the order they were last added or updated

// Words drawn from a Zipf-like law over `vocabulary` words: a few long lists
// (many blocks), many short ones, and repeats within a document.
class Corpus {
 public:
  Corpus(unsigned seed, int vocabulary) : random_(seed), vocabulary_(vocabulary) {}
  Words document(int most_words) {
    Words words(std::uniform_int_distribution<int>(0, most_words)(random_));
    for (std::string& word : words) word = this->word();
    return words;
  }
  std::string word() {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
    return "w" + std::to_string(static_cast<int>(std::pow(vocabulary_, u)) - 1);
  }
  std::mt19937& random() { return random_; }

 private:
  std::mt19937 random_;
  int vocabulary_;
};

// What the module's vectors give: BM25 trained on the live documents with
// words (and, for document-frequency idf, a second one on their distinct
// words), each score summed in the query vector's order.
class Reference {
 public:
  Reference(const Live& live, const Parameters& parameters)
      : live_(live), idf_(parameters.idf), model_(parameters.b, parameters.k1), frequencies_(parameters.b, parameters.k1) {
    for (const Document& document : live) {
      if (document.words.empty()) continue;
      model_.train(document.words);
      Words distinct = document.words;
      std::sort(distinct.begin(), distinct.end());
      distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
      frequencies_.train(distinct);
    }
    for (const Document& document : live) vectors_.push_back(model_.encode_document(document.words));
  }

  std::vector<std::pair<std::string, double>> search(const Words& query, std::size_t k) const {
    if (model_.doc_count() == 0 || query.empty()) return {};
    const auto weights = (idf_ == Idf::Documents ? frequencies_ : model_).encode_query(query);
    std::vector<std::tuple<double, std::size_t, std::string>> ranked;
    for (std::size_t position = 0; position < live_.size(); ++position) {
      bool held = false;
      double score = 0.0;
      for (const auto& [word, weight] : weights) {
        const auto found = vectors_[position].find(word);
        if (found == vectors_[position].end()) continue;
        score = held ? score + weight * found->second : weight * found->second;
        held = true;
      }
      if (held) ranked.emplace_back(-score, position, live_[position].id);
    }
    std::sort(ranked.begin(), ranked.end());
    std::vector<std::pair<std::string, double>> out;
    for (std::size_t i = 0; i < std::min(k, ranked.size()); ++i) {
      out.emplace_back(std::get<2>(ranked[i]), -std::get<0>(ranked[i]));
    }
    return out;
  }

 private:
  const Live& live_;
  Idf idf_;
  BM25 model_, frequencies_;
  std::vector<BM25::StringVector> vectors_;
};

std::vector<std::pair<std::string, double>> found(const LiveIndex& index, const Words& query, std::size_t k) {
  std::vector<std::pair<std::string, double>> out;
  for (const Hit& hit : index.search(query, k)) out.emplace_back(hit.id, hit.score);
  return out;
}

void expect_same(const std::vector<std::pair<std::string, double>>& actual,
                 const std::vector<std::pair<std::string, double>>& expected, const std::string& context) {
  ASSERT_EQ(actual.size(), expected.size()) << context;
  for (std::size_t i = 0; i < actual.size(); ++i) {
    EXPECT_EQ(actual[i].first, expected[i].first) << context << " rank " << i;
    // Bit for bit: the same doubles, not merely close ones.
    EXPECT_EQ(std::memcmp(&actual[i].second, &expected[i].second, sizeof(double)), 0)
        << context << " rank " << i << ": " << actual[i].second << " against " << expected[i].second;
  }
}

std::unique_ptr<LiveIndex> fresh_index(const Live& live, const Parameters& parameters) {
  auto index = std::make_unique<LiveIndex>(parameters);
  for (const Document& document : live) index->add({document});
  return index;
}

struct Setting {
  const char* name;
  Parameters parameters;
  int vocabulary;
  int most_words;
};

std::ostream& operator<<(std::ostream& out, const Setting& setting) { return out << setting.name; }

class Exactness : public ::testing::TestWithParam<Setting> {};

// Random adds, updates and deletes; after each round every query gives what
// the module's vectors and a fresh index give.
TEST_P(Exactness, AnySequenceOfWritesScoresAsTheLiveDocumentsDo) {
  const Setting& setting = GetParam();
  for (unsigned seed = 1; seed <= 3; ++seed) {
    Corpus corpus(seed, setting.vocabulary);
    LiveIndex index(setting.parameters);
    Live live;
    int next_id = 0;
    for (int round = 0; round < 6; ++round) {
      std::vector<Document> added;
      for (int i = 0; i < 250; ++i) added.push_back({"d" + std::to_string(next_id++), corpus.document(setting.most_words)});
      index.add(added);
      live.insert(live.end(), added.begin(), added.end());
      std::vector<std::string> removed;
      std::vector<Document> updated;
      for (int i = 0; i < 60 && !live.empty(); ++i) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, live.size() - 1)(corpus.random());
        if (i % 2 == 0) {
          removed.push_back(live[at].id);
        } else if (std::find(removed.begin(), removed.end(), live[at].id) == removed.end()) {
          updated.push_back({live[at].id, corpus.document(setting.most_words)});
        }
      }
      std::sort(removed.begin(), removed.end());
      removed.erase(std::unique(removed.begin(), removed.end()), removed.end());
      index.remove(removed);
      for (const std::string& id : removed) {
        live.erase(std::find_if(live.begin(), live.end(), [&](const Document& d) { return d.id == id; }));
      }
      index.update(updated);
      for (const Document& document : updated) {
        const auto old = std::find_if(live.begin(), live.end(), [&](const Document& d) { return d.id == document.id; });
        if (old != live.end()) live.erase(old);
        live.push_back(document);
      }
      if (round == 3) index.compact();
      const auto rebuilt = fresh_index(live, setting.parameters);
      const Reference reference(live, setting.parameters);
      ASSERT_EQ(index.size(), live.size());
      for (int q = 0; q < 25; ++q) {
        Words query = corpus.document(4);
        query.push_back(corpus.word());
        if (q % 5 == 0) query.push_back("never-seen");
        for (const std::size_t k : {1, 3, 10, 1000}) {
          const std::string context = std::string(setting.name) + " seed " + std::to_string(seed) + " round " +
                                      std::to_string(round) + " query " + std::to_string(q) + " k " + std::to_string(k);
          const auto expected = reference.search(query, k);
          expect_same(found(index, query, k), expected, context);
          expect_same(found(*rebuilt, query, k), expected, context + " (fresh)");
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Exactness,
    ::testing::Values(
        // Few words: long lists of many blocks, and with occurrence idf the
        // frequent words weigh negative.
        Setting{"occurrences_few_words", {0.75, 1.2, Idf::Occurrences}, 40, 30},
        Setting{"documents_few_words", {0.75, 1.2, Idf::Documents}, 40, 30},
        Setting{"documents_many_words", {0.5, 1.0, Idf::Documents}, 5000, 12},
        Setting{"occurrences_many_words", {1.0, 2.0, Idf::Occurrences}, 5000, 12},
        // No length normalisation, and no saturation: every weight is 1.
        Setting{"b_zero", {0.0, 1.2, Idf::Documents}, 200, 20},
        Setting{"k1_zero", {0.75, 0.0, Idf::Documents}, 200, 20}));

// Ties everywhere: documents of one word each, so that top-k must break
// them by the order documents were added, also across removals.
TEST(LiveIndex, TiesGoToTheDocumentAddedFirst) {
  LiveIndex index({0.75, 1.2, Idf::Documents});
  std::vector<Document> documents;
  for (int i = 0; i < 600; ++i) documents.push_back({"d" + std::to_string(i), {"same"}});
  index.add(documents);
  index.remove({"d0", "d2"});
  index.update({{"d1", {"same"}}});
  const auto hits = found(index, {"same"}, 3);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].first, "d3");
  EXPECT_EQ(hits[1].first, "d4");
  EXPECT_EQ(hits[2].first, "d5");
}

TEST(LiveIndex, RefusedWritesChangeNothing) {
  LiveIndex index({0.75, 1.2, Idf::Documents});
  index.add({{"a", {"x"}}, {"b", {"x", "y"}}});
  const auto before = found(index, {"x", "y"}, 10);
  EXPECT_THROW(index.add({{"c", {"y"}}, {"a", {"z"}}}), IdError);       // an id already in
  EXPECT_THROW(index.add({{"c", {"y"}}, {"c", {"z"}}}), IdError);       // an id twice
  EXPECT_THROW(index.remove({"b", "missing"}), IdError);
  EXPECT_THROW(LiveIndex({1.5, 1.2, Idf::Documents}), std::domain_error);
  EXPECT_THROW(LiveIndex({0.75, -1.0, Idf::Documents}), std::domain_error);
  EXPECT_EQ(index.size(), 2u);
  EXPECT_FALSE(index.contains("c"));
  expect_same(found(index, {"x", "y"}, 10), before, "after refusals");
  // An id given twice to one removal is no refusal: it is removed once.
  index.remove({"b", "b"});
  EXPECT_EQ(index.size(), 1u);
  EXPECT_FALSE(index.contains("b"));
}

// Readers during writes: every result is the result of one state the
// writer went through, and no reader sees the states out of order.
TEST(LiveIndex, SearchesSeeOneStateAtATime) {
  const Parameters parameters{0.75, 1.2, Idf::Documents};
  Corpus corpus(7, 300);
  std::vector<std::vector<Document>> writes;
  for (int i = 0; i < 120; ++i) {
    std::vector<Document> batch;
    for (int j = 0; j < 20; ++j) batch.push_back({"d" + std::to_string(i % 40) + "-" + std::to_string(j), corpus.document(15)});
    writes.push_back(std::move(batch));
  }
  const Words query = {"w0", "w1", "w5", "w17"};
  // The result after each write, from a fresh index of that state.
  std::vector<std::vector<std::pair<std::string, double>>> states;
  {
    LiveIndex replay(parameters);
    states.push_back(found(replay, query, 10));
    for (const auto& batch : writes) {
      replay.update(batch);
      states.push_back(found(replay, query, 10));
    }
  }
  LiveIndex index(parameters);
  std::atomic<bool> writing{true};
  std::atomic<int> mismatches{0}, backwards{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      std::size_t latest = 0;
      while (writing.load()) {
        const auto result = found(index, query, 10);
        ++reads;
        std::size_t state = latest;
        while (state < states.size() && states[state] != result) ++state;
        if (state == states.size()) {
          ++(std::find(states.begin(), states.begin() + static_cast<long>(latest), result) != states.begin() + static_cast<long>(latest)
                 ? backwards
                 : mismatches);
        } else {
          latest = state;
        }
      }
    });
  }
  for (const auto& batch : writes) index.update(batch);
  writing = false;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(backwards.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(found(index, query, 10), states.back());
}

TEST(LiveIndex, VectorsAreTheModulesForTheLiveDocuments) {
  LiveIndex index({0.75, 1.2, Idf::Occurrences});
  index.add({{"a", {"a", "b", "a"}}, {"b", {"b"}}, {"c", {"gone"}}});
  index.remove({"c"});
  BM25 model(0.75, 1.2);
  model.train(Words{"a", "b", "a"});
  model.train(Words{"b"});
  using Vector = std::vector<std::pair<std::string, double>>;
  const auto query = model.encode_query(Words{"c", "a", "c"});
  EXPECT_EQ(index.query_vector({"c", "a", "c"}), Vector(query.begin(), query.end()));
  const auto document = model.encode_document(Words{"a", "b", "a"});
  EXPECT_EQ(index.document_vector({"a", "b", "a"}), Vector(document.begin(), document.end()));
  EXPECT_EQ(index.model_document(), model.document_text());
  EXPECT_EQ(index.matches({"a", "gone", "b"}), 2u);
}

}  // namespace
