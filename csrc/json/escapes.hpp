#pragma once
// The seven bytes that JSON text writes as a backslash and a letter, in both
// directions; the escaping, its inverse and the string reader share it.

namespace vorn::typing::text::detail {

// The letter that follows the backslash for `byte`, or 0 if `byte` is written as itself.
constexpr char escape_letter(char byte) noexcept {
  switch (byte) {
    case '\b': return 'b';
    case '\t': return 't';
    case '\n': return 'n';
    case '\f': return 'f';
    case '\r': return 'r';
    case '"': return '"';
    case '\\': return '\\';
    default: return 0;
  }
}

// The byte that a backslash followed by `letter` stands for, or 0 if it is none of the seven.
constexpr char escaped_byte(char letter) noexcept {
  switch (letter) {
    case 'b': return '\b';
    case 't': return '\t';
    case 'n': return '\n';
    case 'f': return '\f';
    case 'r': return '\r';
    case '"': return '"';
    case '\\': return '\\';
    default: return 0;
  }
}

}  // namespace vorn::typing::text::detail
