// Conversions between host objects and dictionary items, shared by the
// dictionary and dictionary map binders.
#pragma once

#include "common.hpp"
#include "kestrel/data/dictionary.hpp"

namespace kestrel::py {

// A dictionary item argument, or null for None; TypeError for anything else.
DictionaryItemPtr item_or_none(nb::handle h, const char *arg);

// True when `h` is an instance of exactly one of the four item classes (a
// host subclass of DictionaryItem is never an accepted kind).
bool exact_item_class(nb::handle h);

// A set (any iterable) of item classes as a kind mask, and back.
ItemKindMask kinds_from_classes(nb::handle classes);
nb::object classes_from_kinds(ItemKindMask mask);

}  // namespace kestrel::py
