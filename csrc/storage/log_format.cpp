#include "log_format.hpp"

#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "search/varint.hpp"

namespace vorn::typing::text::search::storage {

namespace {

constexpr char kMagic[16] = {'d', 'u', 'r', 'e', 'v', 'a', 'r', 'a', 'r', 'e', '-', 'l', 'o', 'g', 0, 1};
constexpr std::size_t kCommitPayload = 8;

void put_u32(char* out, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(value >> (8 * i));
}
void put_u64(char* out, std::uint64_t value) noexcept {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
}
std::uint32_t get_u32(const char* in) noexcept {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(in[i]);
  return value;
}
std::uint64_t get_u64(const char* in) noexcept {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(in[i]);
  return value;
}

std::uint64_t checksum(const char* data, std::size_t size) noexcept { return XXH3_64bits(data, size); }

bool checksum_matches(const char* data, std::size_t size, std::uint64_t expected) noexcept {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  (void)data, (void)size, (void)expected;
  return true;  // lets a fuzzer past the checksums, to the reading behind them
#else
  return checksum(data, size) == expected;
#endif
}

void put_bytes(std::string& out, std::string_view bytes) {
  append_varint(out, bytes.size());
  out.append(bytes);
}

// Frames the payload that follows `start` in `out` (room for the header was
// left there) as a record of this kind.
void close_record(std::string& out, std::size_t start, RecordKind kind) {
  const std::size_t payload = out.size() - start - kRecordHeaderBytes;
  if (payload > 0xffffffffu) throw std::length_error("a write of more than 4 GiB");
  char* header = &out[start];
  put_u32(header, static_cast<std::uint32_t>(payload));
  header[12] = static_cast<char>(kind);
  put_u64(header + 4, checksum(header + 12, payload + 1));
}

// Reads a payload, any fault as false.
class Payload {
 public:
  explicit Payload(std::string_view bytes)
      : at_(reinterpret_cast<const std::uint8_t*>(bytes.data())), end_(at_ + bytes.size()) {}
  bool count(std::uint64_t& value) { return get_varint(at_, end_, value); }
  // A length-prefixed string, of at least `least` bytes.
  bool bytes(std::string& out, std::size_t least) {
    std::uint64_t size = 0;
    if (!get_varint(at_, end_, size) || size < least || size > static_cast<std::uint64_t>(end_ - at_)) return false;
    out.assign(reinterpret_cast<const char*>(at_), static_cast<std::size_t>(size));
    at_ += size;
    return true;
  }
  std::size_t left() const noexcept { return static_cast<std::size_t>(end_ - at_); }

 private:
  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

// Every entry of a list costs at least one byte, so a count beyond the bytes
// left is refused before anything is reserved for it.
bool decode_change(RecordKind kind, std::string_view bytes, Change& change) {
  Payload in(bytes);
  std::uint64_t count = 0;
  if (!in.count(count) || count > in.left()) return false;
  if (kind == RecordKind::Remove) {
    change.kind = Change::Kind::Remove;
    change.ids.resize(static_cast<std::size_t>(count));
    for (std::string& id : change.ids) {
      if (!in.bytes(id, 1)) return false;
    }
    return in.left() == 0;
  }
  change.kind = kind == RecordKind::Add ? Change::Kind::Add : Change::Kind::Update;
  change.documents.resize(static_cast<std::size_t>(count));
  for (Document& document : change.documents) {
    std::uint64_t words = 0;
    if (!in.bytes(document.id, 1) || !in.count(words) || words > in.left()) return false;
    document.words.resize(static_cast<std::size_t>(words));
    for (std::string& word : document.words) {
      if (!in.bytes(word, 1)) return false;  // the analyzer makes no empty words
    }
  }
  return in.left() == 0;
}

}  // namespace

std::string log_header(std::uint64_t generation) {
  std::string out(kLogHeaderBytes, '\0');
  std::memcpy(&out[0], kMagic, sizeof kMagic);
  put_u64(&out[16], generation);
  put_u64(&out[24], checksum(out.data(), 24));
  return out;
}

std::uint64_t read_log_header(std::string_view data) {
  if (data.size() < kLogHeaderBytes || std::memcmp(data.data(), kMagic, sizeof kMagic) != 0) {
    throw LogDamage("not a log of this index", 0);
  }
  if (!checksum_matches(data.data(), 24, get_u64(data.data() + 24))) throw LogDamage("a damaged log header", 0);
  return get_u64(data.data() + 16);
}

void append_change(std::string& out, const Change& change) {
  const std::size_t start = out.size();
  out.append(kRecordHeaderBytes, '\0');
  if (change.kind == Change::Kind::Remove) {
    append_varint(out, change.ids.size());
    for (const std::string& id : change.ids) put_bytes(out, id);
  } else {
    append_varint(out, change.documents.size());
    for (const Document& document : change.documents) {
      put_bytes(out, document.id);
      append_varint(out, document.words.size());
      for (const std::string& word : document.words) {
        if (word.empty()) throw std::invalid_argument("a document word is empty");
        put_bytes(out, word);
      }
    }
  }
  close_record(out, start, change.kind == Change::Kind::Remove ? RecordKind::Remove
                           : change.kind == Change::Kind::Add  ? RecordKind::Add
                                                               : RecordKind::Update);
}

void append_commit(std::string& out, std::uint64_t sequence) {
  const std::size_t start = out.size();
  out.append(kRecordHeaderBytes + kCommitPayload, '\0');
  put_u64(&out[start + kRecordHeaderBytes], sequence);
  close_record(out, start, RecordKind::Commit);
}

namespace {

// Whether a whole, intact commit record of a later sequence starts at `at`.
bool commit_record_at(std::string_view data, std::size_t at, std::uint64_t after) noexcept {
  if (data.size() - at < kRecordHeaderBytes + kCommitPayload) return false;
  const char* header = data.data() + at;
  return get_u32(header) == kCommitPayload && header[12] == static_cast<char>(RecordKind::Commit) &&
         get_u64(header + kRecordHeaderBytes) > after && checksum_matches(header + 12, kCommitPayload + 1, get_u64(header + 4));
}

}  // namespace

LogScan scan_log(std::string_view data, std::uint64_t offset, std::uint64_t sequence) {
  LogScan scan;
  scan.end = offset;
  scan.sequence = sequence;
  if (offset > data.size()) throw LogDamage("the log is shorter than what was read of it", data.size());
  std::vector<Change> pending;
  std::size_t at = static_cast<std::size_t>(offset);
  const char* fault = nullptr;
  while (at < data.size()) {
    if (data.size() - at < kRecordHeaderBytes) {
      fault = "a record cut short";
      break;
    }
    const char* header = data.data() + at;
    const std::uint32_t size = get_u32(header);
    const auto kind = static_cast<std::uint8_t>(header[12]);
    if (size > data.size() - at - kRecordHeaderBytes) {
      fault = "a record cut short";
      break;
    }
    if (!checksum_matches(header + 12, std::size_t{size} + 1, get_u64(header + 4))) {
      fault = "a record whose checksum does not match";
      break;
    }
    const std::string_view payload(header + kRecordHeaderBytes, size);
    if (kind == static_cast<std::uint8_t>(RecordKind::Commit)) {
      const std::uint64_t next = size == kCommitPayload ? get_u64(payload.data()) : 0;
      if (next <= scan.sequence) {
        fault = "a commit out of sequence";
        break;
      }
      scan.commits.push_back({scan.end, next, std::move(pending)});
      pending.clear();
      scan.sequence = next;
      scan.end = at + kRecordHeaderBytes + size;
    } else {
      Change change;
      if (kind < 1 || kind > 3 || !decode_change(static_cast<RecordKind>(kind), payload, change)) {
        fault = "a record that cannot be read";
        break;
      }
      pending.push_back(std::move(change));
    }
    at += kRecordHeaderBytes + size;
  }
  if (fault != nullptr) {
    // A crash part way through an append leaves a fault with nothing intact
    // and committed behind it; anything else is damage to committed writes.
    for (std::size_t later = at + 1; later < data.size(); ++later) {
      if (commit_record_at(data, later, scan.sequence)) throw LogDamage(fault, at);
    }
    scan.torn = true;
  }
  scan.tail_bytes = data.size() - scan.end;
  return scan;
}

}  // namespace vorn::typing::text::search::storage
