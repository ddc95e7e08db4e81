// DictionaryMappedItem and DictionaryMap: the editing model, the container
// behaviour and the data exchange with frames.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <climits>

#include "common.hpp"
#include "dictionary_binding.hpp"
#include "kestrel/data/dictionary_map.hpp"
#include "kestrel/frame/frame.hpp"

namespace kestrel::py {

int visit_map_contents(const DictionaryMap &map, visitproc visit, void *arg) {
    if (int r = visit_owned(map.dictionary(), visit, arg)) return r;
    for (const auto &entry : map.entries())
        if (int r = visit_owned(entry->item(), visit, arg)) return r;
    return 0;
}

namespace {

// A width: an integer, range-checked by the map itself so that its lock and
// membership checks come first (OverflowError ... uint8_t from the entry).
long long width_argument(nb::handle bits) {
    if (!is_int(bits))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(bits.ptr())->tp_name);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(bits.ptr(), &overflow);
    // Beyond 64 bits: any value out of range stands for it.
    if (overflow != 0) return overflow > 0 ? LLONG_MAX : -1;
    return v;
}

std::optional<long long> optional_width(nb::handle bits) {
    if (bits.is_none()) return std::nullopt;
    return width_argument(bits);
}

std::optional<uint16_t> optional_u16(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    return to_u16(value);
}

// An item to be mapped. A host subclass of DictionaryItem is never an
// accepted class: only the four classes themselves are.
DictionaryItemPtr mapped_item_argument(nb::handle h) {
    DictionaryItemPtr item = item_or_none(h, "dict_item");
    if (item && !exact_item_class(h)) throw_python(ErrorKind::Permission, "");
    return item;
}

nb::list item_list(const std::vector<DictionaryItemPtr> &items) {
    nb::list result;
    for (const auto &item : items) result.append(nb::cast(item));
    return result;
}

nb::list entry_list(const DictionaryMap &map) {
    nb::list result;
    for (const auto &entry : map.entries()) result.append(nb::cast(entry));
    return result;
}

nb::tuple pair_tuple(std::pair<int, int> p) { return nb::make_tuple(p.first, p.second); }

// Entries and maps the core made by copying pointers get references of their
// own (see own_reference).
DictionaryMappedItemPtr reowned(DictionaryMappedItemPtr entry) {
    if (entry->item()) entry->_reown_item(own_reference(entry->item()));
    return entry;
}

std::shared_ptr<DictionaryMap> reowned(std::shared_ptr<DictionaryMap> map) {
    map->_reown_dictionary(own_reference(map->dictionary()));
    for (const auto &entry : map->entries()) reowned(entry);
    return map;
}

// The host objects a map and a loose entry hold (see visit_owned). An entry
// inside a map is reported by its map only, so nothing is reported twice.
int map_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return visit_map_contents(*nb::inst_ptr<DictionaryMap>(self), visit, arg);
}

int entry_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    const auto *entry = nb::inst_ptr<DictionaryMappedItem>(self);
    return entry->in_map() ? 0 : visit_owned(entry->item(), visit, arg);
}

PyType_Slot map_slots[] = {{Py_tp_traverse, (void *)map_traverse}, {0, nullptr}};
PyType_Slot entry_slots[] = {{Py_tp_traverse, (void *)entry_traverse}, {0, nullptr}};

}  // namespace

void bind_dictionary_map(nb::module_ &m) {
    using namespace nb::literals;

    nb::class_<DictionaryMappedItem>(m, "DictionaryMappedItem", "Entry of a dictionary map",
                                     nb::type_slots(entry_slots))
        .def(
            "__init__",
            [](DictionaryMappedItem *self, nb::handle item, nb::handle bits, nb::handle position_bits) {
                // Arguments are checked in their order (C++ leaves the order of
                // evaluation of call arguments open).
                DictionaryItemPtr mapped = item_or_none(item, "item");
                const uint8_t width = to_u8(bits);
                new (self) DictionaryMappedItem(std::move(mapped), width, to_u8(position_bits));
            },
            "item"_a.none(), "bits"_a, "position_bits"_a)
        .def_prop_ro("item", [](const DictionaryMappedItem &e) { return e.item(); })
        .def_prop_ro("bits", &DictionaryMappedItem::bits)
        .def_prop_ro("position_bits", &DictionaryMappedItem::position_bits)
        .def("copy", [](const DictionaryMappedItem &e) { return reowned(e.copy()); })
        .def("copy_as_padding", &DictionaryMappedItem::copy_as_padding)
        .def("position_byte_bits", [](const DictionaryMappedItem &e) { return pair_tuple(e.position_byte_bits()); })
        .def("size_bytes_bits", [](const DictionaryMappedItem &e) { return pair_tuple(e.size_bytes_bits()); })
        .def(
            "_set_bits", [](DictionaryMappedItem &e, nb::handle bits) { e._set_bits(to_u8(bits)); }, "bits"_a)
        .def(
            "_set_position_bits",
            [](DictionaryMappedItem &e, nb::handle position_bits) { e._set_position_bits(to_u8(position_bits)); },
            "position_bits"_a)
        .def("_read", &DictionaryMappedItem::_read)
        .def(
            "_write", [](DictionaryMappedItem &e, nb::handle value) { e._write(to_i64(value)); }, "value"_a);

    nb::class_<DictionaryMap>(m, "DictionaryMap", "Map of dictionary items into the safe data of a frame",
                              nb::type_slots(map_slots))
        .def(
            "__init__",
            [](DictionaryMap *self, std::shared_ptr<Dictionary> dictionary, nb::handle item_types_accepted) {
                new (self) DictionaryMap(std::move(dictionary), kinds_from_classes(item_types_accepted));
            },
            "dictionary"_a, "item_types_accepted"_a)
        .def_prop_ro("dictionary", [](const DictionaryMap &map) { return map.dictionary(); })
        .def_prop_ro("item_types_accepted",
                     [](const DictionaryMap &map) { return classes_from_kinds(map.item_types_accepted()); })
        .def_prop_ro("_items", &entry_list)
        .def_prop_ro("_locked", &DictionaryMap::locked)
        .def_prop_ro("locked", &DictionaryMap::locked)
        .def_prop_ro("safety_bits", &DictionaryMap::safety_bits)
        .def_prop_ro("safety_bytes", &DictionaryMap::safety_bytes)
        // container behaviour; entries compare by identity
        .def("__len__", &DictionaryMap::size)
        .def("__iter__", [](const DictionaryMap &map) { return nb::iter(entry_list(map)); })
        .def("__contains__",
             [](const DictionaryMap &map, const DictionaryMappedItem &entry) { return map.contains(entry); })
        .def("__getitem__",
             [](const DictionaryMap &map, nb::handle index) -> nb::object {
                 if (PySlice_Check(index.ptr())) {
                     nb::list entries = entry_list(map);
                     PyObject *slice = PyObject_GetItem(entries.ptr(), index.ptr());
                     if (slice == nullptr) throw nb::python_error();
                     return nb::steal(slice);
                 }
                 long long i = to_i64(index, "Py_ssize_t");
                 const auto size = static_cast<long long>(map.size());
                 if (i < 0) i += size;
                 if (i < 0 || i >= size) throw_python(ErrorKind::Index, "list index out of range");
                 return nb::cast(map.entries()[static_cast<size_t>(i)]);
             })
        // queries
        .def("mapped_dictionary_items",
             [](const DictionaryMap &map) { return item_list(map.mapped_dictionary_items()); })
        .def("unmapped_dictionary_items",
             [](const DictionaryMap &map) {
                 nb::list result;
                 for (const auto &item : map.unmapped_dictionary_items()) {
                     nb::object obj = nb::cast(item);
                     if (exact_item_class(obj)) result.append(obj);
                 }
                 return result;
             })
        .def("copy", [](const DictionaryMap &map) { return reowned(map.copy()); })
        .def(
            "get_text_representation",
            [](const DictionaryMap &map, nb::handle item_space) {
                return map.get_text_representation(to_i64(item_space, "Py_ssize_t"));
            },
            "item_space"_a = 40)
        // editing
        .def(
            "add",
            [](DictionaryMap &map, nb::handle dict_item, nb::handle bits, nb::handle align_to_bits) {
                DictionaryItemPtr item = mapped_item_argument(dict_item);
                const auto width = optional_width(bits);
                return map.add(item, width, optional_u16(align_to_bits));
            },
            "dict_item"_a.none(), "bits"_a.none() = nb::none(), "align_to_bits"_a.none() = nb::none())
        .def(
            "add_by_key",
            [](DictionaryMap &map, nb::handle key, nb::handle bits) {
                const int32_t k = item_by_key(*map.dictionary(), key).key();
                return reowned(map.add_by_key(k, optional_width(bits)));
            },
            "key"_a, "bits"_a.none() = nb::none())
        .def(
            "add_padding", [](DictionaryMap &map, nb::handle bits) { return map.add_padding(to_u16(bits)); }, "bits"_a)
        .def(
            "insert",
            [](DictionaryMap &map, nb::handle index, nb::handle dict_item, nb::handle bits) {
                const long long at = to_i64(index, "Py_ssize_t");
                DictionaryItemPtr item = mapped_item_argument(dict_item);
                return map.insert(at, item, optional_width(bits));
            },
            "index"_a, "dict_item"_a.none(), "bits"_a.none() = nb::none())
        .def(
            "insert_before",
            [](DictionaryMap &map, const DictionaryMappedItem &before, nb::handle dict_item, nb::handle bits) {
                DictionaryItemPtr item = mapped_item_argument(dict_item);
                return map.insert_before(before, item, optional_width(bits));
            },
            "before_dictionary_mapped_item"_a, "dict_item"_a.none(), "bits"_a.none() = nb::none())
        .def(
            "insert_after",
            [](DictionaryMap &map, const DictionaryMappedItem &after, nb::handle dict_item, nb::handle bits) {
                DictionaryItemPtr item = mapped_item_argument(dict_item);
                return map.insert_after(after, item, optional_width(bits));
            },
            "after_dictionary_mapped_item"_a, "dict_item"_a.none(), "bits"_a.none() = nb::none())
        .def(
            "insert_in_best_position",
            [](DictionaryMap &map, nb::handle dict_item, nb::handle align_to_bits) {
                DictionaryItemPtr item = item_or_none(dict_item, "dict_item");
                if (!item) throw_python(ErrorKind::Type, "insert_in_best_position needs a dictionary item, not None");
                if (!exact_item_class(dict_item)) throw_python(ErrorKind::Permission, "");
                return map.insert_in_best_position(item, to_u16(align_to_bits));
            },
            "dict_item"_a, "align_to_bits"_a = 1)
        .def(
            "set_bits",
            [](DictionaryMap &map, const DictionaryMappedItem &entry, nb::handle bits) {
                map.set_bits(entry, width_argument(bits));
            },
            "dictionary_mapped_item"_a, "bits"_a)
        .def("move_item_up", &DictionaryMap::move_item_up, "item"_a)
        .def("move_item_down", &DictionaryMap::move_item_down, "item"_a)
        .def(
            "remove",
            [](DictionaryMap &map, nb::handle item) {
                if (nb::isinstance<DictionaryMappedItem>(item))
                    map.remove(nb::cast<const DictionaryMappedItem &>(item));
                else if (nb::isinstance<DictionaryItem>(item))
                    map.remove(nb::cast<const DictionaryItem &>(item));
                else
                    throw_python(ErrorKind::Type, std::string("item must be a map entry or a dictionary item, not ") +
                                                      Py_TYPE(item.ptr())->tp_name);
            },
            "item"_a)
        .def(
            "transform_to_padding",
            [](DictionaryMap &map, nb::handle item) {
                if (nb::isinstance<DictionaryMappedItem>(item))
                    map.transform_to_padding(nb::cast<const DictionaryMappedItem &>(item));
                else if (nb::isinstance<DictionaryItem>(item))
                    map.transform_to_padding(nb::cast<const DictionaryItem &>(item));
                else
                    throw_python(ErrorKind::Type, std::string("item must be a map entry or a dictionary item, not ") +
                                                      Py_TYPE(item.ptr())->tp_name);
            },
            "item"_a)
        .def("merge_adjacent_paddings", &DictionaryMap::merge_adjacent_paddings)
        .def("complete_with_padding", &DictionaryMap::complete_with_padding)
        .def("trim_map", &DictionaryMap::trim_map)
        .def("clear", &DictionaryMap::clear)
        .def(
            "_lock",
            [](DictionaryMap &map, nb::handle active) {
                const int on = PyObject_IsTrue(active.ptr());
                if (on < 0) throw nb::python_error();
                map._lock(on != 0);
            },
            "active"_a.none() = true)
        // data exchange
        .def("_set_data_to_frame", &DictionaryMap::_set_data_to_frame, "frame"_a)
        .def("_get_data_from_frame", &DictionaryMap::_get_data_from_frame, "frame"_a);
}

}  // namespace kestrel::py
