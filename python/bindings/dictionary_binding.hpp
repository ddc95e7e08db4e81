// Conversions between host objects and dictionary items, shared by the
// dictionary and dictionary map binders.
#pragma once

#include <nanobind/stl/shared_ptr.h>

#include <memory>

#include "common.hpp"
#include "kestrel/data/dictionary.hpp"
#include "kestrel/data/dictionary_map.hpp"

namespace kestrel::py {

// A dictionary item argument, or null for None; TypeError for anything else.
DictionaryItemPtr item_or_none(nb::handle h, const char *arg);

// True when `h` is an instance of exactly one of the four item classes (a
// host subclass of DictionaryItem is never an accepted kind).
bool exact_item_class(nb::handle h);

// The item under an integer key; KeyError carrying `key` for any integer the
// dictionary does not hold (however large), TypeError for a non-integer.
DictionaryItem &item_by_key(const Dictionary &dictionary, nb::handle key);

// A set (any iterable) of item classes as a kind mask, and back.
ItemKindMask kinds_from_classes(nb::handle classes);
nb::object classes_from_kinds(ItemKindMask mask);

// Garbage-collector support. A shared pointer made from a host object holds
// one reference to it (in its deleter); copies share that one reference, so
// only a sole owner reports it, which keeps the collector's count exact.
template <typename T>
int visit_owned(const std::shared_ptr<T> &ptr, visitproc visit, void *arg) {
    if (!ptr || ptr.use_count() != 1) return 0;
    const auto *deleter = std::get_deleter<nb::detail::py_deleter>(ptr);
    if (deleter == nullptr) return 0;
    Py_VISIT(deleter->o);
    return 0;
}

// The host objects a map holds: its dictionary and its entries' items.
int visit_map_contents(const DictionaryMap &map, visitproc visit, void *arg);

// A pointer to the same object with a reference of its own to the host
// object, when `ptr` holds one. A copy the core keeps in a second owner (a map
// or entry copy, an entry made from the dictionary's item) would otherwise
// share one reference that no owner reports, and every cycle through it would
// stay uncollectable.
template <typename T>
std::shared_ptr<T> own_reference(const std::shared_ptr<T> &ptr) {
    const auto *deleter = std::get_deleter<nb::detail::py_deleter>(ptr);
    if (deleter == nullptr || deleter->o == nullptr) return ptr;
    return nb::cast<std::shared_ptr<T>>(nb::handle(deleter->o));
}

}  // namespace kestrel::py
