// Connection set-up data: DynamicMappableItem, FSOEDynamicMap (with a live
// list view of its items), ApplicationParameter, calculate_sra_crc.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>

#include "common.hpp"
#include "kestrel/frame/frame.hpp"
#include "kestrel/handler/master_handler.hpp"
#include "kestrel/setup/application_parameter.hpp"
#include "kestrel/setup/dynamic_map.hpp"
#include "kestrel/setup/sra_crc.hpp"
#include "runtime.hpp"

namespace kestrel::py {

namespace {

using ItemPtr = FSOEDynamicMap::ItemPtr;
using ItemList = FSOEDynamicMap::ItemList;

const char *py_type_name(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// A Python object as a map entry: only DynamicMappableItem (None included
// among the refused), so the core never sees a null entry.
ItemPtr to_item(nb::handle h) {
    if (!nb::isinstance<DynamicMappableItem>(h))
        throw_python(ErrorKind::Type,
                     std::string("items of a dynamic map must be DynamicMappableItem, not ") + py_type_name(h));
    return nb::cast<ItemPtr>(h);
}

nb::object item_object(const ItemPtr &item) { return nb::cast(item); }

// A Python object acting as the master of an application parameter: anything
// with a `running` attribute. The parameter keeps this very object alive.
class PythonOwner final : public ParameterOwner {
public:
    explicit PythonOwner(nb::handle owner) : object(nb::borrow(owner)) {}
    ~PythonOwner() override {
        if (!with_gil([this] { object.reset(); })) object.release();  // interpreter gone: leave it
    }
    bool running() const override {
        bool result = true;  // when Python cannot be asked, refuse changes
        with_gil([&] {
            if (!object.is_valid()) {
                result = false;  // only after the collector broke a cycle
                return;
            }
            nb::object value = object.attr("running");
            const int truth = PyObject_IsTrue(value.ptr());
            if (truth < 0) throw nb::python_error();
            result = truth != 0;
        });
        return result;
    }
    nb::object object;
};

// --- cyclic garbage collection ------------------------------------------------
// A parameter refers to its master, which (as a handler) refers to its maps and
// through them to the parameter. These references live in C++, so the types
// show them to the collector. Only references this instance owns are shown: the
// instance must own its C++ object and hold the sole handle to the reference.

bool owns_its_object(PyObject *self) {
    const auto [ready, destruct] = nb::inst_state(self);
    return ready && destruct;
}

PythonOwner *sole_python_owner(ApplicationParameter &p) {
    const auto &owner = p.used_by_master();
    if (owner.use_count() != 1) return nullptr;
    auto *python = dynamic_cast<PythonOwner *>(owner.get());
    return python != nullptr && python->object.is_valid() ? python : nullptr;
}

int parameter_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!owns_its_object(self)) return 0;
    if (PythonOwner *owner = sole_python_owner(*nb::inst_ptr<ApplicationParameter>(self)))
        Py_VISIT(owner->object.ptr());
    return 0;
}

int parameter_clear(PyObject *self) {
    if (!owns_its_object(self)) return 0;
    if (PythonOwner *owner = sole_python_owner(*nb::inst_ptr<ApplicationParameter>(self))) owner->object.reset();
    return 0;
}

int map_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!owns_its_object(self)) return 0;
    for (const ItemPtr &item : nb::inst_ptr<FSOEDynamicMap>(self)->_items()) {
        if (item.use_count() != 1) continue;
        if (auto *deleter = std::get_deleter<nb::detail::py_deleter>(item)) Py_VISIT(deleter->o);
    }
    return 0;
}

int map_clear(PyObject *self) {
    if (!owns_its_object(self)) return 0;
    ItemList dropped;
    dropped.swap(nb::inst_ptr<FSOEDynamicMap>(self)->_items());
    return 0;
}

PyType_Slot kParameterSlots[] = {{Py_tp_traverse, reinterpret_cast<void *>(parameter_traverse)},
                                 {Py_tp_clear, reinterpret_cast<void *>(parameter_clear)},
                                 {0, nullptr}};
PyType_Slot kMapSlots[] = {{Py_tp_traverse, reinterpret_cast<void *>(map_traverse)},
                           {Py_tp_clear, reinterpret_cast<void *>(map_clear)},
                           {0, nullptr}};

// --- the item list view ---------------------------------------------------------

size_t list_index(const ItemList &items, nb::handle index, bool for_insert = false) {
    long long i = to_i64(index, "Py_ssize_t");
    const auto n = static_cast<long long>(items.size());
    if (for_insert) return static_cast<size_t>(i < 0 ? std::max(0LL, i + n) : std::min(i, n));
    if (i < 0) i += n;
    if (i < 0 || i >= n) throw_python(ErrorKind::Index, "list index out of range");
    return static_cast<size_t>(i);
}

nb::list as_list(const ItemList &items) {
    nb::list out;
    for (const ItemPtr &item : items) out.append(item_object(item));
    return out;
}

// Entries of a list, a tuple or another view.
std::optional<nb::list> sequence_items(nb::handle other) {
    if (nb::isinstance<ItemList>(other)) return as_list(nb::cast<const ItemList &>(other));
    if (PyList_Check(other.ptr()) || PyTuple_Check(other.ptr()))
        return nb::steal<nb::list>(PySequence_List(other.ptr()));
    return std::nullopt;
}

// Index of the first entry equal to `value`. The comparison may run host code
// that edits the list, so the index found may already lie past its end.
std::optional<size_t> find(const ItemList &items, nb::handle value) {
    for (size_t i = 0; i < items.size(); ++i) {
        const int eq = PyObject_RichCompareBool(item_object(items[i]).ptr(), value.ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) return i;
    }
    return std::nullopt;
}

// Slice edits run on a copy, which host code met on the way (iterating the
// new entries) cannot disturb; the result replaces the entries all at once.
template <typename Edit>
void edit_as_list(ItemList &v, Edit &&edit) {
    nb::list copy = as_list(v);
    if (edit(copy.ptr()) < 0) throw nb::python_error();
    ItemList entries;
    for (nb::handle h : copy) entries.push_back(to_item(h));
    v.swap(entries);
}

void bind_item_list(nb::module_ &m) {
    // The list object of a map: the same object for as long as the host holds
    // it, edited in place by clear(), and every edit reaches the map.
    nb::class_<ItemList>(m, "_DynamicMapItems", "Items of a dynamic map, in transfer order")
        .def("__len__", [](const ItemList &v) { return v.size(); })
        .def("__getitem__",
             [](const ItemList &v, nb::handle index) -> nb::object {
                 if (PySlice_Check(index.ptr())) return nb::steal(PyObject_GetItem(as_list(v).ptr(), index.ptr()));
                 return item_object(v[list_index(v, index)]);
             })
        .def("__setitem__",
             [](ItemList &v, nb::handle index, nb::handle value) {
                 if (PySlice_Check(index.ptr()))
                     return edit_as_list(v, [&](PyObject *l) { return PyObject_SetItem(l, index.ptr(), value.ptr()); });
                 v[list_index(v, index)] = to_item(value);
             })
        .def("__delitem__",
             [](ItemList &v, nb::handle index) {
                 if (PySlice_Check(index.ptr()))
                     return edit_as_list(v, [&](PyObject *l) { return PyObject_DelItem(l, index.ptr()); });
                 v.erase(v.begin() + std::ptrdiff_t(list_index(v, index)));
             })
        .def("__iter__", [](const ItemList &v) { return nb::iter(as_list(v)); })
        .def("__contains__", [](const ItemList &v, nb::handle value) { return find(v, value).has_value(); })
        .def("__eq__",
             [](nb::handle self, nb::handle other) -> nb::object {
                 auto theirs = sequence_items(other);
                 if (!theirs) return nb::borrow(Py_NotImplemented);
                 return nb::bool_(as_list(nb::cast<const ItemList &>(self)).equal(*theirs));
             })
        .def("__ne__",
             [](nb::handle self, nb::handle other) -> nb::object {
                 auto theirs = sequence_items(other);
                 if (!theirs) return nb::borrow(Py_NotImplemented);
                 return nb::bool_(!as_list(nb::cast<const ItemList &>(self)).equal(*theirs));
             })
        .def("__repr__", [](const ItemList &v) { return nb::repr(as_list(v)); })
        .def(
            "append", [](ItemList &v, nb::handle value) { v.push_back(to_item(value)); }, nb::arg("item"))
        .def(
            "insert",
            [](ItemList &v, nb::handle index, nb::handle value) {
                ItemPtr item = to_item(value);
                v.insert(v.begin() + std::ptrdiff_t(list_index(v, index, true)), std::move(item));
            },
            nb::arg("index"), nb::arg("item"))
        .def(
            "extend",
            [](ItemList &v, nb::handle values) {
                ItemList added;  // all or nothing
                for (nb::handle h : nb::iter(values)) added.push_back(to_item(h));
                v.insert(v.end(), added.begin(), added.end());
            },
            nb::arg("items"))
        .def(
            "pop",
            [](ItemList &v, nb::handle index) {
                if (v.empty()) throw_python(ErrorKind::Index, "pop from empty list");
                const size_t i = list_index(v, index);
                ItemPtr item = v[i];
                v.erase(v.begin() + std::ptrdiff_t(i));
                return item_object(item);
            },
            nb::arg("index") = -1)
        .def(
            "remove",
            [](ItemList &v, nb::handle value) {
                const auto i = find(v, value);
                if (!i) throw_python(ErrorKind::Value, "list.remove(x): x not in list");
                if (*i < v.size()) v.erase(v.begin() + std::ptrdiff_t(*i));  // else the entry went meanwhile
            },
            nb::arg("item"))
        .def(
            "index",
            [](const ItemList &v, nb::handle value) {
                const auto i = find(v, value);
                if (!i) throw_python(ErrorKind::Value, "item is not in list");
                return *i;
            },
            nb::arg("item"))
        .def(
            "count",
            [](const ItemList &v, nb::handle value) {
                size_t n = 0;
                for (nb::handle h : as_list(v)) {
                    const int eq = PyObject_RichCompareBool(h.ptr(), value.ptr(), Py_EQ);
                    if (eq < 0) throw nb::python_error();
                    n += eq != 0;
                }
                return n;
            },
            nb::arg("item"))
        .def("copy", [](const ItemList &v) { return as_list(v); })
        .def("__add__",
             [](const ItemList &v, nb::handle other) -> nb::object {
                 if (!PyList_Check(other.ptr()) && !nb::isinstance<ItemList>(other))
                     return nb::borrow(Py_NotImplemented);
                 nb::list out = as_list(v);
                 out.extend(other);
                 return out;
             })
        .def("__radd__",
             [](const ItemList &v, nb::handle other) -> nb::object {
                 if (!PyList_Check(other.ptr())) return nb::borrow(Py_NotImplemented);
                 nb::list out = nb::steal<nb::list>(PySequence_List(other.ptr()));
                 out.extend(as_list(v));
                 return out;
             })
        .def("__iadd__",
             [](nb::handle self, nb::handle values) {
                 self.attr("extend")(values);
                 return nb::borrow(self);
             })
        .def("clear", [](ItemList &v) { v.clear(); });
    // Mutable and compared by content, like a list: not hashable.
    nb::type<ItemList>().attr("__hash__") = nb::none();
}

// --- argument checks of ApplicationParameter -------------------------------------

std::optional<std::string> optional_name(nb::handle name) {
    if (name.is_none()) return std::nullopt;
    if (!PyUnicode_Check(name.ptr()))
        throw_python(ErrorKind::Type, std::string("name must be a string or None, not ") + py_type_name(name));
    // Any str the host can make, lone surrogates included, comes back unchanged.
    nb::object utf8 = nb::steal(PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogatepass"));
    if (!utf8.is_valid()) throw nb::python_error();
    return std::string(PyBytes_AS_STRING(utf8.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.ptr())));
}

std::optional<int64_t> optional_n_bytes(nb::handle n_bytes) {
    if (n_bytes.is_none()) return std::nullopt;
    if (!is_int(n_bytes))
        throw_python(ErrorKind::Type, std::string("n_bytes must be an integer or None, not ") + py_type_name(n_bytes));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n_bytes.ptr(), &overflow);
    return overflow != 0 ? -1 : v;  // beyond 64 bits: a size that fits no type
}

std::optional<DataType> optional_data_type(nb::handle data_type) {
    if (data_type.is_none()) return std::nullopt;
    return to_data_type(data_type, "a DataType or None");
}

}  // namespace

void bind_setup(nb::module_ &m) {
    nb::class_<DynamicMappableItem>(m, "DynamicMappableItem", "Item that can be mapped to a dynamic map")
        .def(
            "__init__",
            [](DynamicMappableItem *self, nb::handle initial_value, nb::handle data_type) {
                const DataType type = to_data_type(data_type);
                new (self) DynamicMappableItem(to_value(initial_value), type);
            },
            nb::arg("initial_value").none(), nb::arg("data_type").none())
        .def(
            "set", [](DynamicMappableItem &item, nb::handle value) { item.set(to_value(value)); },
            nb::arg("value").none(), "Set value of the item")
        .def(
            "get", [](const DynamicMappableItem &item) { return from_value(item.get()); }, "Get value of the item")
        // Through the methods by name, so that a subclass's set() and get() apply.
        .def_prop_rw(
            "value", [](nb::handle self) { return self.attr("get")(); },
            [](nb::handle self, nb::handle value) { self.attr("set")(value); }, nb::for_setter(nb::arg("value").none()))
        .def_prop_ro("raw_value", &DynamicMappableItem::raw_value)
        .def_prop_ro("_raw_value", &DynamicMappableItem::raw_value)
        .def_prop_ro("data_type", &DynamicMappableItem::data_type)
        .def_prop_ro("n_bytes", &DynamicMappableItem::n_bytes);

    nb::class_<ApplicationParameter, DynamicMappableItem>(
        m, "ApplicationParameter", "Parameters that the master sets to the Slave during the state Parameter.",
        nb::type_slots(kParameterSlots))
        .def(
            "__init__",
            [](ApplicationParameter *self, nb::handle name, nb::handle initial_value, nb::handle n_bytes,
               nb::handle data_type) {
                std::optional<std::string> checked_name = optional_name(name);
                const std::optional<int64_t> size = optional_n_bytes(n_bytes);
                const std::optional<DataType> type = optional_data_type(data_type);
                // Size errors come before any error of the value itself.
                const DataType resolved = ApplicationParameter::resolve_data_type(size, type);
                new (self)
                    ApplicationParameter(std::move(checked_name), to_value(initial_value), std::nullopt, resolved);
            },
            nb::arg("name").none(), nb::arg("initial_value").none(), nb::arg("n_bytes").none() = nb::none(),
            nb::arg("data_type").none() = nb::none())
        .def_prop_rw(
            "name",
            [](const ApplicationParameter &p) -> nb::object {
                if (!p.name) return nb::none();
                nb::object text = nb::steal(
                    PyUnicode_DecodeUTF8(p.name->data(), static_cast<Py_ssize_t>(p.name->size()), "surrogatepass"));
                if (!text.is_valid()) throw nb::python_error();  // a name set from C++ that is not UTF-8
                return text;
            },
            [](ApplicationParameter &p, nb::handle name) { p.name = optional_name(name); },
            nb::for_setter(nb::arg("name").none()))
        .def(
            "set", [](ApplicationParameter &p, nb::handle value) { p.set(to_value(value)); }, nb::arg("value").none(),
            "Set value of the item")
        .def(
            "_set_use_by_master",
            [](ApplicationParameter &p, nb::handle master) {
                // No value binds nothing, as a parameter without a master.
                if (master.is_none()) return p._set_use_by_master(nullptr);
                // An owner already in place is refused first (the core raises).
                if (p.used_by_master()) return p._set_use_by_master(nullptr);
                // A handler binds through its own running state.
                if (nb::isinstance<MasterHandler>(master))
                    return p._set_use_by_master(nb::cast<MasterHandler &>(master).parameter_owner());
                // Any object binds; its `running` state is read at each set, so an
                // owner without one makes set fail (AttributeError), never pass.
                p._set_use_by_master(std::make_shared<PythonOwner>(master));
            },
            nb::arg("master").none(),
            "Set the master that uses this application parameter.\n\n"
            "Can only be set once, and cannot be changed after that.");

    bind_item_list(m);

    nb::class_<FSOEDynamicMap>(m, "FSOEDynamicMap", "Dynamic map of set-up data carried a few bytes per frame",
                               nb::type_slots(kMapSlots))
        .def(nb::init<>())
        .def_prop_rw(
            "_items",
            [](nb::handle self) -> nb::object {
                auto &map = nb::cast<FSOEDynamicMap &>(self);
                if (!map._has_items()) return nb::none();
                return nb::cast(&map._items(), nb::rv_policy::reference_internal, self);
            },
            [](FSOEDynamicMap &map, nb::handle items) {
                if (items.is_none()) return map._set_items(std::nullopt);
                if (!PyList_Check(items.ptr()) && !nb::isinstance<ItemList>(items))
                    throw_python(ErrorKind::Type,
                                 std::string("_items must be a list or None, not ") + py_type_name(items));
                ItemList entries;
                for (nb::handle h : nb::iter(items)) entries.push_back(to_item(h));
                map._set_items(std::move(entries));
            },
            nb::for_setter(nb::arg("items").none()))
        .def_prop_ro("total_bytes", &FSOEDynamicMap::total_bytes)
        .def_prop_ro("bytes_processed", &FSOEDynamicMap::bytes_processed)
        .def_prop_ro("items_processed", &FSOEDynamicMap::items_processed)
        .def_prop_ro("current_processed_item", &FSOEDynamicMap::current_processed_item)
        .def_prop_ro("current_processed_item_byte", &FSOEDynamicMap::current_processed_item_byte)
        .def("clear", &FSOEDynamicMap::clear, "Clear the dynamic map")
        .def(
            "add",
            [](FSOEDynamicMap &map, nb::handle item) {
                if (!nb::isinstance<DynamicMappableItem>(item))
                    throw_python(ErrorKind::Type,
                                 std::string("item must be a DynamicMappableItem, not ") + py_type_name(item));
                map.add(nb::cast<ItemPtr>(item));
            },
            nb::arg("item").none(), "Add item to the dynamic map")
        .def("pending", &FSOEDynamicMap::pending, "Determines whether there is pending data")
        .def("total_items", &FSOEDynamicMap::total_items, "Number of items on the dynamic map.")
        .def("pending_items", &FSOEDynamicMap::pending_items, "Number of Items pending to be sent or received")
        .def(
            "set_data_to_frame",
            [](FSOEDynamicMap &map, FSOEFrame &frame, nb::handle valid_data_bytes) {
                map.set_data_to_frame(frame, to_u16(valid_data_bytes));
            },
            nb::arg("frame"), nb::arg("valid_data_bytes"),
            "Gets data from the variables in the map and puts it into a frame\n\n"
            "Other safe_data on the frame will have padding 0's")
        .def(
            "get_data_from_frame",
            [](FSOEDynamicMap &map, const FSOEFrame &frame, nb::handle valid_data_bytes) {
                map.get_data_from_frame(frame, to_u16(valid_data_bytes));
            },
            nb::arg("frame"), nb::arg("valid_data_bytes"),
            "Sets data from a received frame to the variables in the map")
        .def("is_safedata_correct", &FSOEDynamicMap::is_safedata_correct, nb::arg("expected_map"),
             "Compare the data that has been processed on this dynamic map to another map");

    m.def(
        "calculate_sra_crc",
        [](nb::handle params) {
            // Defined for lists; no value is refused like any other non-list.
            if (!PyList_Check(params.ptr()))
                throw_python(ErrorKind::Type,
                             std::string("params must be a list of integers, not ") + py_type_name(params));
            uint32_t crc = 0;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params.ptr()); ++i)
                crc = SraCrcCalculation(crc, to_u16(nb::handle(PyList_GET_ITEM(params.ptr(), i))));
            return crc;
        },
        nb::arg("params").none(),
        "SRA CRC Calculation\n\n"
        "Mechanism described on ETG5120 FSOE Protocol enhancements section 6.3");
}

}  // namespace kestrel::py
