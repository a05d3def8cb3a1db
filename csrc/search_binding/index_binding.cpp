// Python face of the live index: durevarare_search._native.Index. Ids are
// str or int; the core keys them as a kind byte and the value. Every call
// converts its arguments with the interpreter lock, then searches, writes
// or reads files without it: the core's own lock keeps its state whole.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "registration.hpp"
#include "search/analyzer.hpp"
#include "search/live_index.hpp"

namespace py = pybind11;

namespace vorn::typing::text::search {

namespace {

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

// A list of str, as the words of a document or a query.
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

// (id, words) pairs.
std::vector<Document> documents_of(const py::iterable& items) {
  std::vector<Document> out;
  for (const py::handle item : items) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) {
      throw py::type_error("documents are (id, words) pairs");
    }
    out.push_back({key_of(PyTuple_GET_ITEM(item.ptr(), 0)), words_of(PyTuple_GET_ITEM(item.ptr(), 1), "document")});
  }
  return out;
}

// The core's refusal of an id, as Python's: KeyError for a missing one,
// ValueError for one already there.
template <class Call>
void writing(Call&& call) {
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

py::dict vector_of(const std::vector<std::pair<std::string, double>>& entries) {
  py::dict out;
  for (const auto& [word, weight] : entries) out[py::str(word)] = weight;
  return out;
}

void save(const LiveIndex& index, const std::string& path, const py::bytes& settings) {
  const std::string_view text(settings);
  write_file(path, unlocked([&] { return index.serialize(text); }));
}

// The index of a file's bytes; its settings are read apart, by read_settings.
std::shared_ptr<LiveIndex> load(const py::bytes& data) {
  const std::string_view bytes(data);
  return unlocked([&] {
    std::string settings;
    return std::shared_ptr<LiveIndex>(LiveIndex::deserialize(bytes, settings));
  });
}

const char* idf_name(Idf idf) { return idf == Idf::Documents ? "documents" : "occurrences"; }

// (id, text) pairs, analysed on up to `threads` threads and then written
// (added or updated), all without the interpreter lock.
void write_texts(LiveIndex& index, void (LiveIndex::*write)(const std::vector<Document>&), const py::iterable& items,
                 const Analyzer& analyzer, unsigned threads) {
  std::vector<std::string> ids, texts;
  for (const py::handle item : items) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2) throw py::type_error("documents are (id, text) pairs");
    ids.push_back(key_of(PyTuple_GET_ITEM(item.ptr(), 0)));
    texts.push_back(utf8_of(PyTuple_GET_ITEM(item.ptr(), 1), "document texts"));
  }
  writing([&] {
    std::vector<std::vector<std::string>> words = analyzer.document_words(texts, threads);
    std::vector<std::string>().swap(texts);
    std::vector<Document> documents(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) documents[i] = {std::move(ids[i]), std::move(words[i])};
    (index.*write)(documents);
  });
}

}  // namespace

void register_index(py::module_& module) {
  module.def("read_settings", [](const py::bytes& data) { return py::bytes(LiveIndex::read_settings(std::string_view(data))); },
             py::arg("data"), "The settings saved in an index file, read before the rest of it.");
  using Self = LiveIndex&;
  py::class_<LiveIndex, std::shared_ptr<LiveIndex>>(module, "Index")
      .def(py::init([](double b, double k1, const std::string& idf) {
             if (idf != "occurrences" && idf != "documents") throw py::value_error("idf must be \"documents\" or \"occurrences\"");
             return std::make_shared<LiveIndex>(Parameters{b, k1, idf == "documents" ? Idf::Documents : Idf::Occurrences});
           }),
           py::arg("b"), py::arg("k1"), py::arg("idf"))
      .def_property_readonly("b", [](Self self) { return self.parameters().b; })
      .def_property_readonly("k1", [](Self self) { return self.parameters().k1; })
      .def_property_readonly("idf", [](Self self) { return idf_name(self.parameters().idf); })
      .def("add", [](Self self, const py::iterable& items) {
        const std::vector<Document> documents = documents_of(items);
        writing([&] { self.add(documents); });
      })
      .def("update", [](Self self, const py::iterable& items) {
        const std::vector<Document> documents = documents_of(items);
        writing([&] { self.update(documents); });
      })
      .def("add_texts", [](Self self, const py::iterable& items, const Analyzer& analyzer, unsigned threads) {
        write_texts(self, &LiveIndex::add, items, analyzer, threads);
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("update_texts", [](Self self, const py::iterable& items, const Analyzer& analyzer, unsigned threads) {
        write_texts(self, &LiveIndex::update, items, analyzer, threads);
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("remove", [](Self self, const py::iterable& ids) {
        std::vector<std::string> keys;
        for (const py::handle id : ids) keys.push_back(key_of(id));
        writing([&] { self.remove(keys); });
      })
      .def("__len__", [](Self self) { return self.size(); })
      .def("__contains__", [](Self self, const py::handle& id) {
        if (!PyUnicode_Check(id.ptr()) && !(PyLong_Check(id.ptr()) && !PyBool_Check(id.ptr()))) return false;
        const std::string key = key_of(id);
        py::gil_scoped_release unlocked;
        return self.contains(key);
      })
      .def("search", [](Self self, const py::handle& words, std::size_t k) {
        const std::vector<std::string> query = words_of(words, "query");
        const std::vector<Hit> hits = unlocked([&] { return self.search(query, k); });
        py::list out(hits.size());
        for (std::size_t i = 0; i < hits.size(); ++i) out[i] = py::make_tuple(id_of(hits[i].id), hits[i].score);
        return out;
      })
      .def("matches", [](Self self, const py::handle& words) {
        const std::vector<std::string> query = words_of(words, "query");
        py::gil_scoped_release unlocked;
        return self.matches(query);
      })
      .def("query_vector", [](Self self, const py::handle& words) {
        const std::vector<std::string> query = words_of(words, "query");
        return vector_of(unlocked([&] { return self.query_vector(query); }));
      })
      .def("document_vector", [](Self self, const py::handle& words) {
        const std::vector<std::string> document = words_of(words, "document");
        return vector_of(unlocked([&] { return self.document_vector(document); }));
      })
      .def("model_document", [](Self self) { return py::bytes(unlocked([&] { return self.model_document(); })); })
      .def("documents", [](Self self, std::uint32_t start, std::size_t count) {
        const auto [page, next] = unlocked([&] { return self.documents(start, count); });
        py::list documents(page.size());
        for (std::size_t i = 0; i < page.size(); ++i) documents[i] = py::make_tuple(id_of(page[i].id), list_of(page[i].words));
        return py::make_tuple(documents, next);
      }, py::arg("start"), py::arg("count"))
      .def("statistics", [](Self self) {
        const Statistics s = self.statistics();
        py::dict out;
        out["documents"] = s.documents;
        out["with_words"] = s.with_words;
        out["total_length"] = s.total_length;
        out["words"] = s.words;
        out["numbered"] = s.numbered;
        out["memory"] = s.memory;
        return out;
      })
      .def("compact", [](Self self) {
        py::gil_scoped_release unlocked;
        self.compact();
      })
      .def("save", &save, py::arg("path"), py::arg("settings"))
      .def_static("load", &load, py::arg("data"));
}

}  // namespace vorn::typing::text::search
