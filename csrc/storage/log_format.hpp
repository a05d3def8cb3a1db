#pragma once
// The write-ahead log's bytes: a header naming the snapshot it follows, then
// checksummed records of writes, each batch closed by a commit record.
//
//   header  "durevarare-log" 0 1 | generation u64 | XXH3 of the 24 bytes before, u64
//   record  payload length u32 | XXH3 of kind and payload, u64 | kind u8 | payload
//
// Writes carry ids and analysed words, so that replaying one never analyses
// again. A scan trusts nothing: every length is checked against the bytes
// left, and a fault is either a torn tail (nothing intact and committed
// follows it), cut back to the last commit, or damage, reported with its
// offset.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "search/live_index.hpp"

namespace vorn::typing::text::search::storage {

constexpr std::size_t kLogHeaderBytes = 32;
constexpr std::size_t kRecordHeaderBytes = 13;

enum class RecordKind : std::uint8_t { Add = 1, Update = 2, Remove = 3, Commit = 4 };

std::string log_header(std::uint64_t generation);

// The records of one change, and of a commit.
void append_change(std::string& out, const Change& change);
void append_commit(std::string& out, std::uint64_t sequence);

// Damage inside the committed part of a log.
class LogDamage : public std::invalid_argument {
 public:
  LogDamage(const std::string& what, std::uint64_t offset)
      : std::invalid_argument(what + " at offset " + std::to_string(offset)), reason_(what), offset_(offset) {}
  std::uint64_t offset() const noexcept { return offset_; }
  const std::string& reason() const noexcept { return reason_; }

 private:
  std::string reason_;
  std::uint64_t offset_;
};

struct Commit {
  std::uint64_t offset = 0;  // of its first record
  std::uint64_t sequence = 0;
  std::vector<Change> changes;
};

struct LogScan {
  std::vector<Commit> commits;      // complete commits from the offset on, in order
  std::uint64_t end = 0;            // just past the last complete commit (or the offset)
  std::uint64_t sequence = 0;       // of that commit; the one given when there is none
  std::uint64_t tail_bytes = 0;     // bytes after `end`: a torn or uncommitted tail
  bool torn = false;                // whether those bytes hold a record that is not whole
};

// The generation a log header names; LogDamage when it is not a header.
std::uint64_t read_log_header(std::string_view data);
// The commits from `offset` (at a record) to the end of `data`, given the
// sequence of the commit before it.
LogScan scan_log(std::string_view data, std::uint64_t offset, std::uint64_t sequence);

}  // namespace vorn::typing::text::search::storage
