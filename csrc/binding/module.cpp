// The module entry: PYBIND11_MODULE refuses interpreters other than the
// version the module was built for, creates the module (no docstring, no per-module
// state) and turns failures during registration into ImportError.

#include <pybind11/pybind11.h>

#include "registration.hpp"

PYBIND11_MODULE(durevarare, module) {
  vorn::typing::text::register_bm25(module);
  vorn::typing::text::register_jieba(module);
}
