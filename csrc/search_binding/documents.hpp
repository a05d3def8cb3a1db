#pragma once
// Document ids, words and (id, words) pairs between Python and the core,
// shared by the bound classes that write documents. Ids are str or int; the
// core keys them as a kind byte and the value.

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

#include "search/analyzer.hpp"
#include "search/live_index.hpp"

namespace vorn::typing::text::search {

std::string key_of(const pybind11::handle& id);
pybind11::object id_of(const std::string& key);
// A list of str, as the words of a document or a query.
std::vector<std::string> words_of(const pybind11::handle& words, const char* what);
// (id, words) pairs.
std::vector<Document> documents_of(const pybind11::iterable& items);
// The keys of an iterable of ids.
std::vector<std::string> keys_of(const pybind11::iterable& ids);

// Runs a write without the interpreter lock, giving the core's refusal of an
// id as Python's: KeyError for a missing one, ValueError for one already there.
void writing(const std::function<void()>& call);

// (id, text) pairs, analysed on up to `threads` threads and handed to
// `write`, all without the interpreter lock.
void write_texts(const pybind11::iterable& items, const Analyzer& analyzer, unsigned threads,
                 const std::function<void(const std::vector<Document>&)>& write);

}  // namespace vorn::typing::text::search

namespace vorn::typing::text::search {

// Registers a bound write of several pieces (a session of the index or of
// its store) as `name`: add, update, add_texts, update_texts and remove
// apply one piece each, commit keeps them all and close takes back what was
// not committed. Waiting for other writers happens without the interpreter
// lock, and so does the taking back.
template <class Session>
void register_session(pybind11::module_& module, const char* name) {
  namespace py = pybind11;
  using Self = Session&;
  // Documents a search waits for at most, within a chunk.
  constexpr std::size_t kPiece = 256;
  auto piece = [](Self self, Change::Kind kind, std::vector<Document> documents) {
    std::vector<Change> changes(1);
    changes[0].kind = kind;
    changes[0].documents = std::move(documents);
    writing([&] { self.apply(changes, kPiece); });
  };
  py::class_<Session>(module, name)
      .def("add", [piece](Self self, const py::iterable& items) { piece(self, Change::Kind::Add, documents_of(items)); })
      .def("update", [piece](Self self, const py::iterable& items) { piece(self, Change::Kind::Update, documents_of(items)); })
      .def("add_texts", [](Self self, const py::iterable& items, const Analyzer& analyzer, unsigned threads) {
        write_texts(items, analyzer, threads, [&](const std::vector<Document>& documents) {
          self.apply({Change{Change::Kind::Add, documents, {}}}, kPiece);
        });
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("update_texts", [](Self self, const py::iterable& items, const Analyzer& analyzer, unsigned threads) {
        write_texts(items, analyzer, threads, [&](const std::vector<Document>& documents) {
          self.apply({Change{Change::Kind::Update, documents, {}}}, kPiece);
        });
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("remove", [](Self self, const py::iterable& ids) {
        std::vector<Change> changes(1);
        changes[0].kind = Change::Kind::Remove;
        changes[0].ids = keys_of(ids);
        writing([&] { self.apply(changes); });
      })
      .def("commit", [](Self self) {
        py::gil_scoped_release unlocked;
        self.commit();
      })
      .def("close", [](Self self) {
        py::gil_scoped_release unlocked;
        self.abandon();
      });
}

}  // namespace vorn::typing::text::search
