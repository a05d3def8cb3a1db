// Python face of the index kept in a folder: durevarare_search._native.Store.
// Writes convert their arguments with the interpreter lock and then apply,
// log and flush without it; a commit's flush waits without it too, so that
// other threads' commits can share it.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "documents.hpp"
#include "registration.hpp"
#include "storage/store.hpp"

namespace py = pybind11;

namespace vorn::typing::text::search {

namespace {

using storage::Durability;
using storage::Store;
using storage::StoreOptions;

std::shared_ptr<Store> open_store(const std::string& path, bool writable, double b, double k1, const std::string& idf,
                                  const py::bytes& settings, const std::string& durability, double lock_timeout,
                                  double checkpoint_share, std::uint64_t checkpoint_least) {
  if (idf != "occurrences" && idf != "documents") throw py::value_error("idf must be \"documents\" or \"occurrences\"");
  if (durability != "commit" && durability != "write") throw py::value_error("durability must be \"commit\" or \"write\"");
  if (!(lock_timeout >= 0)) throw py::value_error("lock_timeout must be a number of seconds, at least 0");
  StoreOptions options;
  options.writable = writable;
  options.lock_timeout = lock_timeout;
  options.durability = durability == "write" ? Durability::Write : Durability::Commit;
  options.checkpoint_share = checkpoint_share;
  options.checkpoint_least = checkpoint_least;
  const Parameters parameters{b, k1, idf == "documents" ? Idf::Documents : Idf::Occurrences};
  std::string text(settings);
  return unlocked([&] { return std::make_shared<Store>(path, options, parameters, std::move(text)); });
}

void write_one(Store& store, Change::Kind kind, std::vector<Document> documents) {
  std::vector<Change> changes(1);
  changes[0].kind = kind;
  changes[0].documents = std::move(documents);
  writing([&] { store.write(changes); });
}

py::dict statistics_of(const Store& store) {
  const storage::StoreStatistics s = unlocked([&] { return store.statistics(); });
  py::dict out;
  out["generation"] = s.generation;
  out["sequence"] = s.sequence;
  out["snapshot_bytes"] = s.snapshot_bytes;
  out["log_bytes"] = s.log_bytes;
  out["pending_writes"] = s.pending_writes;
  out["torn_bytes"] = s.torn_bytes;
  out["replayed"] = s.replayed;
  out["checkpoints"] = s.checkpoints;
  out["checkpoint_failures"] = s.checkpoint_failures;
  return out;
}

}  // namespace

void register_store(py::module_& module) {
  static py::exception<storage::WriterBusy> busy(module, "IndexLocked", PyExc_BlockingIOError);
  // A file that cannot be read or written is an OSError with its errno, so
  // that a missing one is a FileNotFoundError.
  py::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) std::rethrow_exception(raised);
    } catch (const storage::WriterBusy& error) {
      PyErr_SetString(busy.ptr(), error.what());
    } catch (const std::system_error& error) {
      if (error.code().category() != std::generic_category()) throw;
      py::object value = py::reinterpret_steal<py::object>(
          PyObject_CallFunction(PyExc_OSError, "is", error.code().value(), error.what()));
      if (value) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), value.ptr());
    }
  });
  register_session<Store::Session>(module, "StoreSession");
  using Self = Store&;
  py::class_<Store, std::shared_ptr<Store>>(module, "Store")
      .def(py::init(&open_store), py::arg("path"), py::arg("writable"), py::arg("b"), py::arg("k1"), py::arg("idf"),
           py::arg("settings"), py::arg("durability"), py::arg("lock_timeout"), py::arg("checkpoint_share"),
           py::arg("checkpoint_least"))
      // Every call that takes one of the store's locks lets the interpreter
      // lock go first: a fork's preparation holds them all while Python runs
      // other handlers, and a thread that waited for one with the
      // interpreter lock would stop the process.
      .def_property_readonly("index", [](Self self) { return unlocked([&] { return self.index(); }); })
      .def_property_readonly("settings", [](Self self) { return py::bytes(self.settings()); })
      .def_property_readonly("writable", [](Self self) { return self.writable(); })
      .def_property_readonly("durability", [](Self self) { return self.durability() == Durability::Write ? "write" : "commit"; })
      .def_property_readonly("closed", [](Self self) { return self.closed(); })
      .def("add", [](Self self, const py::iterable& items) { write_one(self, Change::Kind::Add, documents_of(items)); })
      .def("update", [](Self self, const py::iterable& items) { write_one(self, Change::Kind::Update, documents_of(items)); })
      .def("add_texts", [](Self self, const py::iterable& items, const Analyzer& analyzer, unsigned threads) {
        write_texts(items, analyzer, threads, [&](const std::vector<Document>& documents) {
          self.write({Change{Change::Kind::Add, documents, {}}});
        });
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("update_texts", [](Self self, const py::iterable& items, const Analyzer& analyzer, unsigned threads) {
        write_texts(items, analyzer, threads, [&](const std::vector<Document>& documents) {
          self.write({Change{Change::Kind::Update, documents, {}}});
        });
      }, py::arg("items"), py::arg("analyzer"), py::arg("threads"))
      .def("remove", [](Self self, const py::iterable& ids) {
        std::vector<Change> changes(1);
        changes[0].kind = Change::Kind::Remove;
        changes[0].ids = keys_of(ids);
        writing([&] { self.write(changes); });
      })
      .def("session", [](Self self) { return unlocked([&] { return std::make_unique<Store::Session>(self); }); },
           py::keep_alive<0, 1>())
      .def("commit", [](Self self) { unlocked([&] { self.commit(); }); })
      .def("refresh", [](Self self) { return unlocked([&] { return self.refresh(); }); })
      .def("checkpoint", [](Self self) { unlocked([&] { self.checkpoint(); }); })
      .def("close", [](Self self) { unlocked([&] { self.close(); }); })
      .def("statistics", &statistics_of)
      .def("prepare_fork", &prepare_fork<Store>, py::arg("wait") = true)
      .def("after_fork_parent", [](Self self) { self.after_fork_parent(); })
      .def("after_fork_child", [](Self self) { self.after_fork_child(); });
}

}  // namespace vorn::typing::text::search
