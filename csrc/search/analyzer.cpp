#include "analyzer.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace vorn::typing::text::search {

namespace {

utf8proc_category_t category_of(char32_t point) noexcept {
  return static_cast<utf8proc_category_t>(utf8proc_category(static_cast<utf8proc_int32_t>(point)));
}

bool letter_or_number(utf8proc_category_t category) noexcept {
  return (category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_LO) ||
         (category >= UTF8PROC_CATEGORY_ND && category <= UTF8PROC_CATEGORY_NO);
}

// Punctuation, symbols, separators and controls outside ASCII: the
// segmenter takes them for unknown characters, so that the characters after
// them come out one by one. ASCII it handles itself (3.5, c++, wi-fi).
bool separator(char32_t point, utf8proc_category_t category) noexcept {
  return point >= 0x80 && (category >= UTF8PROC_CATEGORY_PC || category == UTF8PROC_CATEGORY_CN);
}

template <class Each>
void for_each_point(std::string_view text, Each&& each) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = 0;
    const char32_t point = decode_utf8(text.data() + at, length);
    each(point, at, length);
    at += length;
  }
}

bool only_digits(std::string_view token) {
  bool digits = true;
  for_each_point(token, [&](char32_t point, std::size_t, std::size_t) {
    digits = digits && category_of(point) == UTF8PROC_CATEGORY_ND;
  });
  return digits;
}

bool ascii_alphanumeric(std::string_view token) {
  return !token.empty() && std::all_of(token.begin(), token.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

}  // namespace

std::uint8_t Analyzer::kind_of(char32_t point) noexcept {
  const utf8proc_category_t category = category_of(point);
  return static_cast<std::uint8_t>((separator(point, category) ? kSeparator : 0) |
                                   (letter_or_number(category) ? kLetterOrNumber : 0));
}

Analyzer::Analyzer(AnalyzerSettings settings, std::shared_ptr<const jieba::Segmenter> segmenter,
                   std::shared_ptr<const TraditionalToSimplified> converter,
                   std::shared_ptr<const Normalizer> normalizer)
    : settings_(std::move(settings)),
      segmenter_(std::move(segmenter)),
      converter_(std::move(converter)),
      normalizer_(std::move(normalizer)),
      kinds_(kTable, 0) {
  for (char32_t point = 0; point < kTable; ++point) kinds_[point] = kind_of(point);
  for (const std::string& word : settings_.stop_words) {
    std::string folded;
    converter_->convert(word, folded);
    if (stop_words_.find(folded) == KeyTable::kNone) stop_words_.add(folded);
    if (folded.empty()) continue;
    std::size_t length = 0;
    const char32_t first = decode_utf8(folded.data(), length);
    if (first < kTable) kinds_[first] |= length == folded.size() ? kStopWord : kStartsStopWord;
  }
}

std::uint8_t Analyzer::kind(char32_t point) const noexcept {
  return point < kTable ? kinds_[point] : kind_of(point);
}

void Analyzer::prepare(std::string_view text, Scratch& scratch) const {
  std::string& current = scratch.text;
  std::string& next = scratch.next;
  current.clear();
  if (settings_.normalize) {
    normalizer_->normalize(text, current);
  } else {
    current.assign(text);
  }
  if (settings_.fold_traditional) {
    next.clear();
    converter_->convert(current, next);
    current.swap(next);
  }
  if (settings_.split_punctuation) {
    // Each such character becomes as many spaces as it has bytes: the
    // segmenter splits there, and cuts each run alone.
    for (std::size_t at = 0; at < current.size();) {
      if (static_cast<unsigned char>(current[at]) < 0x80) {
        ++at;
        continue;
      }
      std::size_t length = 0;
      if (kind(decode_utf8(current.data() + at, length)) & kSeparator) current.replace(at, length, length, ' ');
      at += length;
    }
  }
}

bool Analyzer::stop_word(std::string_view token, Scratch& scratch) const {
  if (stop_words_.size() == 0) return false;
  if (!settings_.fold_traditional) {
    scratch.next.clear();
    converter_->convert(token, scratch.next);
    return stop_words_.find(scratch.next) != KeyTable::kNone;
  }
  // The first character decides most tokens without hashing: a stop word of
  // one character, or a character that starts no longer stop word.
  std::size_t length = 0;
  const char32_t first = decode_utf8(token.data(), length);
  if (first < kTable) {
    if (length == token.size()) return kinds_[first] & kStopWord;
    if (!(kinds_[first] & kStartsStopWord)) return false;
  }
  return stop_words_.find(token) != KeyTable::kNone;
}

bool Analyzer::has_letter_or_number(std::string_view token) const noexcept {
  for (std::size_t at = 0; at < token.size();) {
    const auto byte = static_cast<unsigned char>(token[at]);
    if (byte < 0x80) {
      if ((byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z')) return true;
      ++at;
      continue;
    }
    std::size_t length = 0;
    if (kind(decode_utf8(token.data() + at, length)) & kLetterOrNumber) return true;
    at += length;
  }
  return false;
}

void Analyzer::add_words_of(std::string_view token, std::vector<std::string>& out, Scratch& scratch) const {
  if (settings_.drop_non_words && !has_letter_or_number(token)) return;
  if (settings_.letters_digits != LettersDigits::Keep && ascii_alphanumeric(token)) {
    std::vector<std::string_view> pieces;
    std::size_t begin = 0;
    for (std::size_t at = 1; at <= token.size(); ++at) {
      const auto digit = [](char c) { return c >= '0' && c <= '9'; };
      if (at == token.size() || digit(token[at]) != digit(token[at - 1])) {
        pieces.push_back(token.substr(begin, at - begin));
        begin = at;
      }
    }
    if (pieces.size() > 1) {
      // A model number keeps all its parts: the a and 5 of a5.
      if (settings_.letters_digits == LettersDigits::Both) out.emplace_back(token);
      for (const std::string_view piece : pieces) out.emplace_back(piece);
      return;
    }
  }
  // Numbers are never stop words: a list holding 0 to 9 would make "iphone 5" plain iphone.
  if (stop_word(token, scratch) && !only_digits(token)) return;
  // A word the segmenter made up (not in its dictionary) that ends in a
  // one-character stop word loses it: 硕塞是 (硕塞 is) is the name 硕塞.
  if (token.size() >= 9 && static_cast<unsigned char>(token[0]) >= 0xe0 && stop_words_.size() != 0) {
    // The last character first: the dictionary lookup costs more, and most
    // words do not end in a stop word.
    std::size_t last = token.size() - 1;
    while (last > 0 && (static_cast<unsigned char>(token[last]) & 0xc0) == 0x80) --last;
    cppjieba::RuneStrArray runes;
    if (stop_word(token.substr(last), scratch) &&
        cppjieba::DecodeUTF8RunesInString(token.data(), token.size(), runes) && runes.size() >= 3 &&
        segmenter_->trie().Find(runes.begin(), runes.end()) == nullptr) {
      out.emplace_back(token.substr(0, last));
      return;
    }
  }
  out.emplace_back(token);
}

std::vector<std::string> Analyzer::words(std::string_view text, Cut cut, Scratch& scratch) const {
  prepare(text, scratch);
  const std::string& sentence = scratch.text;
  if (cut == Cut::Search) {
    segmenter_->cut_for_search(sentence, scratch.spans);
  } else {
    segmenter_->cut(sentence, scratch.spans);
  }
  std::vector<std::string> out;
  out.reserve(scratch.spans.size());
  const std::vector<jieba::TokenSpan>& spans = scratch.spans;
  const auto token = [&](std::size_t i) { return std::string_view(sentence).substr(spans[i].offset, spans[i].length); };
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const std::size_t begin = spans[i].offset;
    std::size_t end = begin + spans[i].length;
    // The segmenter cuts a code such as 12M or 5G where digits meet letters:
    // ASCII tokens of letters and digits that touch are one token again.
    if (ascii_alphanumeric(token(i))) {
      while (i + 1 < spans.size() && spans[i + 1].offset == end && ascii_alphanumeric(token(i + 1))) {
        end += spans[++i].length;
      }
    }
    add_words_of(std::string_view(sentence).substr(begin, end - begin), out, scratch);
  }
  return out;
}

std::vector<std::vector<std::string>> Analyzer::document_words(const std::vector<std::string>& texts,
                                                               unsigned threads) const {
  std::vector<std::vector<std::string>> out(texts.size());
  threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>((texts.size() + 63) / 64)));
  // Texts go out 64 at a time, so that threads that get the longer texts
  // take fewer of them.
  std::atomic<std::size_t> next{0};
  std::exception_ptr error;
  std::mutex error_lock;
  const auto work = [&] {
    try {
      Scratch scratch;
      for (std::size_t begin; (begin = next.fetch_add(64)) < texts.size();) {
        for (std::size_t i = begin; i < std::min(begin + 64, texts.size()); ++i) {
          out[i] = words(texts[i], settings_.document_cut, scratch);
        }
      }
    } catch (...) {
      std::lock_guard<std::mutex> guard(error_lock);
      if (!error) error = std::current_exception();
      next = texts.size();
    }
  };
  std::vector<std::thread> helpers;
  for (unsigned t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads then
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (error) std::rethrow_exception(error);
  return out;
}

}  // namespace vorn::typing::text::search
