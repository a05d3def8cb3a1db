#pragma once
// A stream buffer that swallows everything: the parser's diagnostics would
// otherwise have the fuzzers spend their time printing.

#include <streambuf>

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};
