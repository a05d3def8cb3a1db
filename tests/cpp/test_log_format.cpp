// The log's records: what is written reads back, a tail cut anywhere is a
// torn tail and never an error, and damage before a commit is reported with
// its offset.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/log_format.hpp"

using namespace vorn::typing::text::search;
using namespace vorn::typing::text::search::storage;

namespace {

Change adding(Change::Kind kind, std::vector<Document> documents) { return Change{kind, std::move(documents), {}}; }
Change removing(std::vector<std::string> ids) { return Change{Change::Kind::Remove, {}, std::move(ids)}; }

// Three commits: two changes, then one, then one; and where each ends.
struct Sample {
  std::string bytes = log_header(7);
  std::vector<std::size_t> ends;
  Sample() {
    append_change(bytes, adding(Change::Kind::Add, {{"sa", {"苹果", "手机", "苹果"}}, {"sb", {"发票"}}}));
    append_change(bytes, removing({"sa"}));
    append_commit(bytes, 1);
    ends.push_back(bytes.size());
    append_change(bytes, adding(Change::Kind::Update, {{"sb", {"电子", "发票"}}, {"sc", {}}}));
    append_commit(bytes, 2);
    ends.push_back(bytes.size());
    append_change(bytes, adding(Change::Kind::Add, {{"sd", {"退款", "到账"}}}));
    append_commit(bytes, 3);
    ends.push_back(bytes.size());
  }
};

}  // namespace

TEST(LogFormat, WhatIsWrittenReadsBack) {
  const Sample sample;
  EXPECT_EQ(read_log_header(sample.bytes), 7u);
  const LogScan scan = scan_log(sample.bytes, kLogHeaderBytes, 0);
  ASSERT_EQ(scan.commits.size(), 3u);
  EXPECT_EQ(scan.end, sample.bytes.size());
  EXPECT_EQ(scan.sequence, 3u);
  EXPECT_EQ(scan.tail_bytes, 0u);
  EXPECT_FALSE(scan.torn);
  const Commit& first = scan.commits[0];
  EXPECT_EQ(first.offset, kLogHeaderBytes);
  ASSERT_EQ(first.changes.size(), 2u);
  EXPECT_EQ(first.changes[0].kind, Change::Kind::Add);
  ASSERT_EQ(first.changes[0].documents.size(), 2u);
  EXPECT_EQ(first.changes[0].documents[0].id, "sa");
  EXPECT_EQ(first.changes[0].documents[0].words, (std::vector<std::string>{"苹果", "手机", "苹果"}));
  EXPECT_EQ(first.changes[1].kind, Change::Kind::Remove);
  EXPECT_EQ(first.changes[1].ids, std::vector<std::string>{"sa"});
  EXPECT_EQ(scan.commits[1].changes[0].kind, Change::Kind::Update);
  EXPECT_TRUE(scan.commits[1].changes[0].documents[1].words.empty());
  // Going on from a commit's end reads only what follows it.
  const LogScan rest = scan_log(sample.bytes, sample.ends[1], 2);
  ASSERT_EQ(rest.commits.size(), 1u);
  EXPECT_EQ(rest.commits[0].sequence, 3u);
}

TEST(LogFormat, ATailCutAtAnyByteIsTornBackToTheLastCommit) {
  const Sample sample;
  for (std::size_t size = sample.ends[1] + 1; size < sample.ends[2]; ++size) {
    const LogScan scan = scan_log(std::string_view(sample.bytes).substr(0, size), kLogHeaderBytes, 0);
    ASSERT_EQ(scan.commits.size(), 2u) << size;
    EXPECT_EQ(scan.end, sample.ends[1]);
    EXPECT_EQ(scan.tail_bytes, size - sample.ends[1]);
  }
  // A tail of zeros, as a file grown by a crash without its data.
  const LogScan zeros = scan_log(sample.bytes + std::string(4096, '\0'), kLogHeaderBytes, 0);
  EXPECT_EQ(zeros.commits.size(), 3u);
  EXPECT_TRUE(zeros.torn);
  EXPECT_EQ(zeros.tail_bytes, 4096u);
}

TEST(LogFormat, AnyChangedByteOfATornTailIsStillATail) {
  const Sample sample;
  for (std::size_t at = sample.ends[1]; at < sample.ends[2] - 1; ++at) {
    std::string bytes = sample.bytes.substr(0, sample.ends[2] - 1);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
    const LogScan scan = scan_log(bytes, kLogHeaderBytes, 0);
    EXPECT_EQ(scan.commits.size(), 2u) << at;
  }
}

TEST(LogFormat, DamageBeforeACommitIsReportedWithItsOffset) {
  const Sample sample;
  for (std::size_t at = kLogHeaderBytes; at < sample.ends[1]; ++at) {
    std::string bytes = sample.bytes;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    try {
      scan_log(bytes, kLogHeaderBytes, 0);
      ADD_FAILURE() << "a flipped byte at " << at << " passed";
    } catch (const LogDamage& damage) {
      EXPECT_LE(damage.offset(), at);
      EXPECT_GE(damage.offset(), kLogHeaderBytes);
    }
  }
}

TEST(LogFormat, RefusedHeadersAndRecords) {
  const Sample sample;
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string other_magic = sample.bytes;
  other_magic[3] = 'X';
  std::string header_sum = sample.bytes;
  header_sum[17] ^= 1;
  const std::vector<Case> headers = {
      {"empty", ""}, {"short", sample.bytes.substr(0, 20)}, {"magic", other_magic}, {"checksum", header_sum}};
  for (const Case& c : headers) EXPECT_THROW(read_log_header(c.bytes), LogDamage) << c.what;

  // A commit must move the sequence on: one that repeats it, with a later
  // commit behind it, is damage.
  std::string repeated = log_header(0);
  append_commit(repeated, 5);
  append_commit(repeated, 5);
  append_commit(repeated, 6);
  EXPECT_THROW(scan_log(repeated, kLogHeaderBytes, 0), LogDamage);
  // Without one behind it, it is where a crashed writer stopped.
  const LogScan stopped = scan_log(repeated.substr(0, repeated.size() - 21), kLogHeaderBytes, 0);
  EXPECT_EQ(stopped.commits.size(), 1u);
  EXPECT_TRUE(stopped.torn);
}
