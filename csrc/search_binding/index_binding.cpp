// Python face of the live index: durevarare_search._native.Index. Ids are
// str or int; the core keys them as a kind byte and the value. Every call
// converts its arguments with the interpreter lock, then searches, writes
// or reads files without it: the core's own lock keeps its state whole.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "documents.hpp"
#include "registration.hpp"
#include "search/analyzer.hpp"
#include "search/live_index.hpp"

namespace py = pybind11;

namespace vorn::typing::text::search {

namespace {

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

}  // namespace

void register_index(py::module_& module) {
  module.def("read_settings", [](const py::bytes& data) { return py::bytes(LiveIndex::read_settings(std::string_view(data))); },
             py::arg("data"), "The settings saved in an index file, read before the rest of it.");
  register_session<LiveIndex::Session>(module, "IndexSession");
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
        write_texts(items, analyzer, threads, [&](const std::vector<Document>& documents) { self.add(documents); });
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("update_texts", [](Self self, const py::iterable& items, const Analyzer& analyzer, unsigned threads) {
        write_texts(items, analyzer, threads, [&](const std::vector<Document>& documents) { self.update(documents); });
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("session", [](Self self) { return unlocked([&] { return std::make_unique<LiveIndex::Session>(self); }); },
           py::keep_alive<0, 1>())
      .def("remove", [](Self self, const py::iterable& ids) {
        const std::vector<std::string> keys = keys_of(ids);
        writing([&] { self.remove(keys); });
      })
      .def("__len__", [](Self self) { return unlocked([&] { return self.size(); }); })
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
      // Pages of documents from 0 on, each with the start of the next: the
      // number to go on from and the rebuilds so far, as one int. A start from
      // before a rebuild gets RuntimeError.
      .def("documents", [](Self self, std::uint64_t start, std::size_t count) {
        const LiveIndex::Place from{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(start >> 32)};
        const auto [page, next] = unlocked([&] { return self.documents(from, count); });
        py::list documents(page.size());
        for (std::size_t i = 0; i < page.size(); ++i) documents[i] = py::make_tuple(id_of(page[i].id), list_of(page[i].words));
        return py::make_tuple(documents, std::uint64_t{next.rebuilds} << 32 | next.number);
      }, py::arg("start"), py::arg("count"))
      .def("statistics", [](Self self) {
        const Statistics s = unlocked([&] { return self.statistics(); });
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
      .def("prepare_fork", &prepare_fork<LiveIndex>, py::arg("wait") = true)
      .def("after_fork_parent", [](Self self) { self.after_fork_parent(); })
      .def("after_fork_child", [](Self self) { self.after_fork_child(); })
      .def("save", &save, py::arg("path"), py::arg("settings"))
      .def_static("load", &load, py::arg("data"));
}

}  // namespace vorn::typing::text::search
