#include "documents.hpp"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <utility>

#include "registration.hpp"

namespace py = pybind11;

namespace vorn::typing::text::search {

std::string key_of(const py::handle& id) {
  if (PyUnicode_Check(id.ptr())) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(id.ptr(), &size);
    if (text == nullptr) throw py::error_already_set();  // lone surrogates
    std::string key(1, 's');
    key.append(text, static_cast<std::size_t>(size));
    return key;
  }
  if (PyLong_Check(id.ptr()) && !PyBool_Check(id.ptr())) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(id.ptr(), &overflow);
    if (overflow != 0) throw py::value_error("an integer document id must fit in 64 bits, not " + py::repr(id).cast<std::string>());
    std::string key(9, 'i');
    auto bits = static_cast<unsigned long long>(value);
    for (int i = 1; i <= 8; ++i, bits >>= 8) key[static_cast<std::size_t>(i)] = static_cast<char>(bits & 0xff);
    return key;
  }
  throw py::type_error(std::string("document ids are str or int, not ") + Py_TYPE(id.ptr())->tp_name);
}

py::object id_of(const std::string& key) {
  if (key[0] == 's') {
    PyObject* text = PyUnicode_DecodeUTF8(key.data() + 1, static_cast<Py_ssize_t>(key.size() - 1), "strict");
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
  }
  unsigned long long bits = 0;
  for (int i = 8; i >= 1; --i) bits = (bits << 8) | static_cast<unsigned char>(key[static_cast<std::size_t>(i)]);
  return py::int_(static_cast<long long>(bits));
}

std::vector<std::string> words_of(const py::handle& words, const char* what) {
  if (!PyList_Check(words.ptr())) {
    throw py::type_error(std::string("the words of a ") + what + " are a list of str, not " + Py_TYPE(words.ptr())->tp_name);
  }
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(words.ptr())));
  for (const py::handle word : words) {
    if (!PyUnicode_Check(word.ptr())) {
      throw py::type_error(std::string("the words of a ") + what + " are str, not " + Py_TYPE(word.ptr())->tp_name);
    }
    out.push_back(utf8_of(word, "words"));
  }
  return out;
}

namespace {

// Reading a long list holds the interpreter lock for a while: every so many
// items it is let go, so that a searching thread gets in.
void let_others_in(std::size_t read) {
  if (read % 1024 == 1023) py::gil_scoped_release others;
}

// The analysis threads allocate the words in allocator arenas of their
// own; once the index has taken them, those arenas hold mostly free pages
// that glibc keeps resident. Handing them back costs under a millisecond a
// chunk and saved 31 MB of the 229 MB that the poems' texts grew by.
void give_back_freed_memory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

}  // namespace

std::vector<Document> documents_of(const py::iterable& items) {
  std::vector<Document> out;
  for (const py::handle item : items) {
    let_others_in(out.size());
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
      throw py::type_error("documents are (id, words) pairs");
    }
    out.push_back({key_of(PyTuple_GET_ITEM(item.ptr(), 0)), words_of(PyTuple_GET_ITEM(item.ptr(), 1), "document")});
  }
  return out;
}

void writing(const std::function<void()>& call) {
  try {
    py::gil_scoped_release unlocked;
    call();
  } catch (const IdError& error) {
    if (error.present()) {
      throw py::value_error("document id " + py::repr(id_of(error.id())).cast<std::string>() + " is already in the index");
    }
    PyErr_SetObject(PyExc_KeyError, id_of(error.id()).ptr());
    throw py::error_already_set();
  }
}


void write_texts(const py::iterable& items, const Analyzer& analyzer, unsigned threads,
                 const std::function<void(const std::vector<Document>&)>& write) {
  std::vector<std::string> ids, texts;
  for (const py::handle item : items) {
    let_others_in(ids.size());
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) throw py::type_error("documents are (id, text) pairs");
    ids.push_back(key_of(PyTuple_GET_ITEM(item.ptr(), 0)));
    texts.push_back(utf8_of(PyTuple_GET_ITEM(item.ptr(), 1), "document texts"));
  }
  writing([&] {
    std::vector<std::vector<std::string>> words = analyzer.document_words(texts, threads);
    std::vector<std::string>().swap(texts);
    std::vector<Document> documents(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) documents[i] = {std::move(ids[i]), std::move(words[i])};
    write(documents);
    documents = {};
    if (threads > 1) give_back_freed_memory();
  });
}

std::vector<std::string> keys_of(const py::iterable& ids) {
  std::vector<std::string> keys;
  for (const py::handle id : ids) keys.push_back(key_of(id));
  return keys;
}

}  // namespace vorn::typing::text::search
