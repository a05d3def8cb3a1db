#include "fold.hpp"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "normalizer.hpp"

namespace vorn::typing::text::search {

namespace {

// (key, first value) of every line of an OpenCC text dictionary.
std::vector<std::pair<std::string, std::string>> read_dictionary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the conversion dictionary '" + path + "'");
  std::vector<std::pair<std::string, std::string>> entries;
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    if (!valid_utf8(line)) {
      throw std::runtime_error("conversion dictionary '" + path + "', line " + std::to_string(number) + ": not UTF-8");
    }
    const std::size_t tab = line.find('\t');
    const std::size_t end = tab == std::string::npos ? tab : line.find(' ', tab + 1);
    if (tab == 0 || tab == std::string::npos || end == tab + 1) {
      throw std::runtime_error("conversion dictionary '" + path + "', line " + std::to_string(number) +
                               ": not a key, a tab and a value");
    }
    entries.emplace_back(line.substr(0, tab), line.substr(tab + 1, end == std::string::npos ? end : end - tab - 1));
  }
  return entries;
}

char32_t first_point(const std::string& text) {
  std::size_t length = 0;
  return decode_utf8(text.data(), length);
}

}  // namespace

TraditionalToSimplified::TraditionalToSimplified(const std::string& phrases_path, const std::string& characters_path)
    : characters_(kTable, 0), phrase_starts_(kTable / 64, 0) {
  for (auto& [key, value] : read_dictionary(characters_path)) {
    std::size_t length = 0;
    const char32_t point = decode_utf8(key.data(), length);
    if (length != key.size() || point >= kTable) {
      throw std::runtime_error("conversion dictionary '" + characters_path + "': '" + key + "' is not one character");
    }
    if (characters_[point] != 0) continue;  // the first entry of a key counts
    if (value.size() > 0xff || values_.size() + 1 > 0xffffff) {
      throw std::runtime_error("conversion dictionary '" + characters_path + "' is too large");
    }
    characters_[point] = static_cast<std::uint32_t>((values_.size() + 1) << 8 | value.size());
    values_ += value;
  }
  for (auto& entry : read_dictionary(phrases_path)) {
    const char32_t point = first_point(entry.first);
    if (point < kTable) phrase_starts_[point / 64] |= std::uint64_t{1} << (point % 64);
    auto& starting = phrases_[point];
    if (std::none_of(starting.begin(), starting.end(), [&](const auto& phrase) { return phrase.first == entry.first; })) {
      starting.push_back(std::move(entry));
    }
  }
  for (auto& [point, starting] : phrases_) {
    std::stable_sort(starting.begin(), starting.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  }
}

void TraditionalToSimplified::convert(std::string_view text, std::string& out) const {
  out.reserve(out.size() + text.size());
  for (std::size_t at = 0; at < text.size();) {
    if (static_cast<unsigned char>(text[at]) < 0x80) {
      out.push_back(text[at++]);
      continue;
    }
    std::size_t length = 0;
    const char32_t point = decode_utf8(text.data() + at, length);
    if (point >= kTable || (phrase_starts_[point / 64] >> (point % 64)) & 1) {
      const auto starting = phrases_.find(point);
      if (starting != phrases_.end()) {
        const auto phrase = std::find_if(starting->second.begin(), starting->second.end(), [&](const auto& entry) {
          return text.compare(at, entry.first.size(), entry.first) == 0;
        });
        if (phrase != starting->second.end()) {
          out += phrase->second;
          at += phrase->first.size();
          continue;
        }
      }
    }
    const std::uint32_t value = point < kTable ? characters_[point] : 0;
    if (value != 0) {
      out.append(values_, (value >> 8) - 1, value & 0xff);
    } else {
      out.append(text.data() + at, length);
    }
    at += length;
  }
}

}  // namespace vorn::typing::text::search
