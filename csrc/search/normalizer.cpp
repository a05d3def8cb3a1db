#include "normalizer.hpp"

#include <utf8proc.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

namespace vorn::typing::text::search {

namespace {

bool hangul(char32_t point) noexcept {
  return (point >= 0x1100 && point <= 0x11ff) || (point >= 0xa960 && point <= 0xa97f) ||
         (point >= 0xac00 && point <= 0xd7ff);
}

// A character that NFKC and case folding leave as it is, and that does not
// combine with the character before it: no decomposition, no folding, a
// starter, not the second of a composition pair, not Hangul (composed by rule).
bool stable_point(char32_t point) noexcept {
  const utf8proc_property_t* property = utf8proc_get_property(static_cast<utf8proc_int32_t>(point));
  return property->decomp_seqindex == UINT16_MAX && property->casefold_seqindex == UINT16_MAX &&
         property->combining_class == 0 && (property->comb_index == UINT16_MAX || property->comb_index < 0x8000) &&
         !hangul(point);
}

struct Freed {
  void operator()(utf8proc_uint8_t* bytes) const noexcept { std::free(bytes); }
};

// utf8proc over one run: NFKC, then case folding.
void normalize_run(std::string_view run, std::string& out) {
  utf8proc_uint8_t* composed = nullptr;
  const auto flags = static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPAT | UTF8PROC_COMPOSE);
  utf8proc_ssize_t size = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(run.data()),
                                       static_cast<utf8proc_ssize_t>(run.size()), &composed, flags);
  const auto check = [](utf8proc_ssize_t result) {
    if (result == UTF8PROC_ERROR_NOMEM) throw std::bad_alloc();
    if (result < 0) throw std::invalid_argument(utf8proc_errmsg(result));
  };
  check(size);
  const std::unique_ptr<utf8proc_uint8_t, Freed> first(composed);
  utf8proc_uint8_t* folded = nullptr;
  size = utf8proc_map(composed, size, &folded, UTF8PROC_CASEFOLD);
  check(size);
  const std::unique_ptr<utf8proc_uint8_t, Freed> second(folded);
  out.append(reinterpret_cast<const char*>(folded), static_cast<std::size_t>(size));
}

// Whether the character at `at` (if any) may combine with the one before it.
bool combines_with_next(std::string_view text, std::size_t at) noexcept {
  if (at >= text.size() || static_cast<unsigned char>(text[at]) < 0x80) return false;
  std::size_t length = 0;
  const char32_t next = decode_utf8(text.data() + at, length);
  const utf8proc_property_t* property = utf8proc_get_property(static_cast<utf8proc_int32_t>(next));
  return property->combining_class != 0 || (property->comb_index != UINT16_MAX && property->comb_index >= 0x8000) ||
         hangul(next);
}

}  // namespace

// Strict UTF-8 (no overlong forms, surrogates or points past U+10FFFF),
// as utf8proc reads it, with runs of ASCII taken eight bytes at a time: an
// index's whole vocabulary goes through here when it opens.
bool valid_utf8(std::string_view text) noexcept {
  const auto* at = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = at + text.size();
  while (at < end) {
    if (end - at >= 8) {
      std::uint64_t eight;
      std::memcpy(&eight, at, sizeof eight);
      if ((eight & 0x8080808080808080u) == 0) {
        at += 8;
        continue;
      }
    }
    const unsigned lead = *at;
    if (lead < 0x80) {
      ++at;
      continue;
    }
    std::size_t length;
    unsigned low = 0x80, high = 0xbf;  // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
      length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
      length = 3;
      if (lead == 0xe0) low = 0xa0;   // overlong
      if (lead == 0xed) high = 0x9f;  // surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
      length = 4;
      if (lead == 0xf0) low = 0x90;   // overlong
      if (lead == 0xf4) high = 0x8f;  // past U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - at) < length || at[1] < low || at[1] > high) return false;
    for (std::size_t i = 2; i < length; ++i) {
      if ((at[i] & 0xc0) != 0x80) return false;
    }
    at += length;
  }
  return true;
}

char32_t decode_utf8(const char* at, std::size_t& length) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(at);
  if (bytes[0] < 0x80) return length = 1, bytes[0];
  if (bytes[0] < 0xe0) return length = 2, ((bytes[0] & 0x1f) << 6) | (bytes[1] & 0x3f);
  if (bytes[0] < 0xf0) return length = 3, ((bytes[0] & 0x0f) << 12) | ((bytes[1] & 0x3f) << 6) | (bytes[2] & 0x3f);
  return length = 4,
         ((bytes[0] & 0x07) << 18) | ((bytes[1] & 0x3f) << 12) | ((bytes[2] & 0x3f) << 6) | (bytes[3] & 0x3f);
}

namespace {

// A character whose normal form does not depend on its neighbours: a
// starter that combines with nothing before it and whose form begins with
// a starter, so that nothing before it combines with that either.
bool context_free(char32_t point, const std::string& form) {
  if (form.empty()) return false;
  const utf8proc_property_t* property = utf8proc_get_property(static_cast<utf8proc_int32_t>(point));
  std::size_t length = 0;
  const char32_t first = decode_utf8(form.data(), length);
  const utf8proc_property_t* starts = utf8proc_get_property(static_cast<utf8proc_int32_t>(first));
  return property->combining_class == 0 && (property->comb_index == UINT16_MAX || property->comb_index < 0x8000) &&
         starts->combining_class == 0 && (starts->comb_index == UINT16_MAX || starts->comb_index < 0x8000) &&
         !hangul(point) && !hangul(first);
}

}  // namespace

Normalizer::Normalizer() : stable_(kTable / 64, 0), form_(kTable, 0) {
  char bytes[4];
  for (char32_t point = 0; point < kTable; ++point) {
    if (point >= 0xd800 && point < 0xe000) continue;
    if (stable_point(point)) {
      stable_[point / 64] |= std::uint64_t{1} << (point % 64);
      continue;
    }
    std::string form;
    const auto length = utf8proc_encode_char(static_cast<utf8proc_int32_t>(point), reinterpret_cast<utf8proc_uint8_t*>(bytes));
    normalize_run(std::string_view(bytes, static_cast<std::size_t>(length)), form);
    if (context_free(point, form)) {
      forms_.push_back(std::move(form));
      form_[point] = static_cast<std::uint32_t>(forms_.size());
    }
  }
}

bool Normalizer::stable(char32_t point) const noexcept {
  return point < kTable ? (stable_[point / 64] >> (point % 64)) & 1 : stable_point(point);
}

void Normalizer::normalize(std::string_view text, std::string& out) const {
  out.reserve(out.size() + text.size());
  std::size_t at = 0;
  std::size_t previous = std::string_view::npos;  // where the last stable character began, in `text`
  std::size_t previous_out = 0;                    // ... and its copy, in `out`
  while (at < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80 && (byte < 'A' || byte > 'Z')) {
      previous = at, previous_out = out.size();
      out.push_back(static_cast<char>(byte));
      ++at;
      continue;
    }
    std::size_t length = 0;
    const char32_t point = decode_utf8(text.data() + at, length);
    if (byte >= 'A' && byte <= 'Z') {
      previous = at, previous_out = out.size();
      out.push_back(static_cast<char>(byte - 'A' + 'a'));
    } else if (stable(point)) {
      previous = at, previous_out = out.size();
      out.append(text.data() + at, length);
    } else if (point < kTable && form_[point] != 0 && !combines_with_next(text, at + length)) {
      previous = at, previous_out = out.size();
      out += forms_[form_[point] - 1];
    } else {
      // A run of characters that change or combine, with the character
      // before it, which they may combine with.
      std::size_t begin = at;
      if (previous != std::string_view::npos) {
        begin = previous;
        out.resize(previous_out);
      }
      std::size_t end = at + length;
      while (end < text.size()) {
        std::size_t next = 0;
        const char32_t following = decode_utf8(text.data() + end, next);
        if (following < 0x80 ? following >= 'A' && following <= 'Z' : !stable(following)) {
          end += next;
        } else {
          break;
        }
      }
      normalize_run(text.substr(begin, end - begin), out);
      previous = std::string_view::npos;
      at = end;
      continue;
    }
    at += length;
  }
}

}  // namespace vorn::typing::text::search
