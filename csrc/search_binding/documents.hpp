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
