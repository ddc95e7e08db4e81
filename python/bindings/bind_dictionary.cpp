// DictionaryItem and its three kinds, Dictionary, and host callables as
// change subscribers.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include "common.hpp"
#include "dictionary_binding.hpp"
#include "runtime.hpp"

namespace kestrel::py {

namespace {

// A host callable as a core subscriber. It runs with the GIL held, on the
// thread that changed the value; its exception propagates to that caller.
class PySubscriber final : public ChangeSubscriber {
public:
    explicit PySubscriber(nb::handle callable) : callable_(nb::borrow(callable)) {}
    ~PySubscriber() override {
        if (!with_gil([this] { callable_.reset(); })) callable_.release();  // interpreter gone: leave it
    }
    void notify() override {
        if (!python_alive()) return;
        nb::gil_scoped_acquire gil;
        callable_();
    }
    nb::handle callable() const noexcept { return callable_; }
    // The host's equality: equal bound methods of one object are one subscriber.
    bool same_as(const ChangeSubscriber &other) const override {
        const auto *o = dynamic_cast<const PySubscriber *>(&other);
        if (o == nullptr) return false;
        nb::gil_scoped_acquire gil;
        const int equal = PyObject_RichCompareBool(callable_.ptr(), o->callable_.ptr(), Py_EQ);
        if (equal < 0) throw nb::python_error();
        return equal == 1;
    }

private:
    nb::object callable_;
};

ChangeCallback subscriber(nb::handle callback) {
    if (!PyCallable_Check(callback.ptr()))
        throw_python(ErrorKind::Type,
                     std::string("callback must be callable, not ") + Py_TYPE(callback.ptr())->tp_name);
    return std::make_shared<PySubscriber>(callback);
}

std::string name_argument(nb::handle h) {
    if (!PyUnicode_Check(h.ptr()))
        throw_python(ErrorKind::Type, std::string("name must be a str, not ") + Py_TYPE(h.ptr())->tp_name);
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
    if (text == nullptr) throw nb::python_error();        // UnicodeEncodeError: a name must be valid text
    return std::string(text, static_cast<size_t>(size));  // whole, embedded NULs included
}

int64_t raw_argument(nb::handle h) { return to_i64(h, "int64_t"); }

nb::object item_object(const DictionaryItemPtr &item) { return nb::cast(item); }

[[noreturn]] void key_error(nb::handle key) {
    PyErr_SetObject(PyExc_KeyError, key.ptr());
    throw nb::python_error();
}

// The item of that name; KeyError carrying `name` when there is none (a str
// that is not valid text names no item either).
DictionaryItem &item_by_name(const Dictionary &d, nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        throw_python(ErrorKind::Type, std::string("name must be a str, not ") + Py_TYPE(name.ptr())->tp_name);
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (text == nullptr) PyErr_Clear();
    DictionaryItem *item = text ? d.find_name(std::string_view(text, static_cast<size_t>(size))) : nullptr;
    if (item == nullptr) key_error(name);
    return *item;
}

// Subscribers are the only host objects an item holds; reporting them lets
// the collector free cycles such as item -> bound method -> owner -> item.
int item_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    int result = 0;
    nb::inst_ptr<DictionaryItem>(self)->visit_subscribers([&](const ChangeSubscriber &s) {
        const auto *py = dynamic_cast<const PySubscriber *>(&s);
        if (result == 0 && py != nullptr) result = visit(py->callable().ptr(), arg);
    });
    return result;
}

int item_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<DictionaryItem>(self)->clear_subscribers();
    return 0;
}

PyType_Slot item_slots[] = {{Py_tp_traverse, (void *)item_traverse}, {Py_tp_clear, (void *)item_clear}, {0, nullptr}};

int dictionary_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    for (const auto &item : nb::inst_ptr<Dictionary>(self)->items())
        if (int r = visit_owned(item, visit, arg)) return r;
    return 0;
}

PyType_Slot dictionary_slots[] = {{Py_tp_traverse, (void *)dictionary_traverse}, {0, nullptr}};

}  // namespace

DictionaryItemPtr item_or_none(nb::handle h, const char *arg) {
    if (h.is_none()) return nullptr;
    if (!nb::isinstance<DictionaryItem>(h))
        throw_python(ErrorKind::Type,
                     std::string(arg) + " must be a dictionary item or None, not " + Py_TYPE(h.ptr())->tp_name);
    return nb::cast<DictionaryItemPtr>(h);
}

DictionaryItem &item_by_key(const Dictionary &dictionary, nb::handle key) {
    if (!is_int(key))
        throw_python(ErrorKind::Type, std::string("an integer is required, got ") + Py_TYPE(key.ptr())->tp_name);
    int overflow = 0;
    const long long k = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
    DictionaryItem *item =
        (overflow != 0 || k < INT32_MIN || k > INT32_MAX) ? nullptr : dictionary.find_key(int32_t(k));
    if (item == nullptr) key_error(key);
    return *item;
}

bool exact_item_class(nb::handle h) {
    nb::handle type = nb::handle((PyObject *)Py_TYPE(h.ptr()));
    return type.is(nb::type<DictionaryItem>()) || type.is(nb::type<DictionaryItemInput>()) ||
           type.is(nb::type<DictionaryItemOutput>()) || type.is(nb::type<DictionaryItemInputOutput>());
}

ItemKindMask kinds_from_classes(nb::handle classes) {
    ItemKindMask mask = 0;
    for (nb::handle cls : classes) {
        if (cls.is(nb::type<DictionaryItem>())) {
            mask |= kind_bit(ItemKind::Base);
        } else if (cls.is(nb::type<DictionaryItemInput>())) {
            mask |= kind_bit(ItemKind::Input);
        } else if (cls.is(nb::type<DictionaryItemOutput>())) {
            mask |= kind_bit(ItemKind::Output);
        } else if (cls.is(nb::type<DictionaryItemInputOutput>())) {
            mask |= kind_bit(ItemKind::InputOutput);
        } else {
            throw_python(ErrorKind::Type, "item_types_accepted must hold dictionary item classes, not " +
                                              nb::cast<std::string>(nb::repr(cls)));
        }
    }
    return mask;
}

nb::object classes_from_kinds(ItemKindMask mask) {
    nb::set result;
    if (mask & kind_bit(ItemKind::Base)) result.add(nb::type<DictionaryItem>());
    if (mask & kind_bit(ItemKind::Input)) result.add(nb::type<DictionaryItemInput>());
    if (mask & kind_bit(ItemKind::Output)) result.add(nb::type<DictionaryItemOutput>());
    if (mask & kind_bit(ItemKind::InputOutput)) result.add(nb::type<DictionaryItemInputOutput>());
    return result;
}

void bind_dictionary(nb::module_ &m) {
    using namespace nb::literals;

    auto base =
        nb::class_<DictionaryItem>(m, "DictionaryItem", "Safety dictionary item", nb::type_slots(item_slots))
            .def(
                "__init__",
                [](DictionaryItem *self, nb::handle key, nb::handle name, nb::handle data_type) {
                    // Arguments are checked in their order (C++ leaves the order of
                    // evaluation of call arguments open).
                    const int32_t k = to_i32(key);
                    std::string n = name_argument(name);
                    const DataType t = to_data_type(data_type);
                    new (self) DictionaryItem(k, std::move(n), t);
                },
                "key"_a, "name"_a, "data_type"_a)
            .def_prop_ro("key", &DictionaryItem::key)
            .def_prop_ro("name", &DictionaryItem::name)
            .def_prop_ro("data_type", &DictionaryItem::data_type)
            .def(
                "set", [](DictionaryItem &item, nb::handle value) { item.set(to_value(value)); }, "value"_a)
            .def("get", [](const DictionaryItem &item) { return from_value(item.get()); })
            .def("_read", [](const DictionaryItem &item) { return item._read(); })
            .def(
                "_write", [](DictionaryItem &item, nb::handle value) { item._write(raw_argument(value)); }, "value"_a)
            .def("_set_fail_safe", &DictionaryItem::_set_fail_safe);
    base.attr("DataTypes") = m.attr("DataType");

    nb::class_<DictionaryItemInput, DictionaryItem>(m, "DictionaryItemInput", "Safe input item", nb::is_final(),
                                                    nb::type_slots(item_slots))
        .def(
            "__init__",
            [](DictionaryItemInput *self, nb::handle key, nb::handle name, nb::handle data_type, nb::handle fail_safe) {
                const int32_t k = to_i32(key);
                std::string n = name_argument(name);
                const DataType t = to_data_type(data_type);
                new (self) DictionaryItemInput(k, std::move(n), t, to_value(fail_safe));
            },
            "key"_a, "name"_a, "data_type"_a, "fail_safe_value"_a)
        .def_prop_ro("_value", [](const DictionaryItemInput &item) { return from_value(item.value()); })
        .def_prop_ro("fail_safe_value",
                     [](const DictionaryItemInput &item) { return from_value(item.fail_safe_value()); })
        .def(
            "subscribe_changed",
            [](DictionaryItemInput &item, nb::handle callback) { item.subscribe_changed(subscriber(callback)); },
            "callback"_a)
        .def(
            "unsubscribe_changed",
            [](DictionaryItemInput &item, nb::handle callback) { item.unsubscribe_changed(PySubscriber(callback)); },
            "callback"_a);

    nb::class_<DictionaryItemOutput, DictionaryItem>(m, "DictionaryItemOutput", "Safe output item", nb::is_final(),
                                                     nb::type_slots(item_slots))
        .def(
            "__init__",
            [](DictionaryItemOutput *self, nb::handle key, nb::handle name, nb::handle data_type) {
                const int32_t k = to_i32(key);
                std::string n = name_argument(name);
                const DataType t = to_data_type(data_type);
                new (self) DictionaryItemOutput(k, std::move(n), t);
            },
            "key"_a, "name"_a, "data_type"_a)
        .def_prop_ro("_value", [](const DictionaryItemOutput &item) { return from_value(item.value()); });

    nb::class_<DictionaryItemInputOutput, DictionaryItem>(m, "DictionaryItemInputOutput",
                                                          "Safe item with an input side and an output side",
                                                          nb::is_final(), nb::type_slots(item_slots))
        .def(
            "__init__",
            [](DictionaryItemInputOutput *self, nb::handle key, nb::handle name, nb::handle data_type,
               nb::handle fail_safe) {
                const int32_t k = to_i32(key);
                std::string n = name_argument(name);
                const DataType t = to_data_type(data_type);
                new (self) DictionaryItemInputOutput(k, std::move(n), t, to_value(fail_safe));
            },
            "key"_a, "name"_a, "data_type"_a, "fail_safe_input_value"_a)
        .def_prop_ro("value_input",
                     [](const DictionaryItemInputOutput &item) { return from_value(item.value_input()); })
        .def_prop_ro("value_output",
                     [](const DictionaryItemInputOutput &item) { return from_value(item.value_output()); })
        .def_prop_ro("fail_safe_input_value",
                     [](const DictionaryItemInputOutput &item) { return from_value(item.fail_safe_input_value()); })
        .def(
            "subscribe_input_changed",
            [](DictionaryItemInputOutput &item, nb::handle callback) {
                item.subscribe_input_changed(subscriber(callback));
            },
            "callback"_a)
        .def(
            "unsubscribe_input_changed",
            [](DictionaryItemInputOutput &item, nb::handle callback) {
                item.unsubscribe_input_changed(PySubscriber(callback));
            },
            "callback"_a);

    nb::class_<Dictionary>(m, "Dictionary", "Safety dictionary", nb::type_slots(dictionary_slots))
        .def(
            "__init__",
            [](Dictionary *self, nb::handle items) {
                if (!PyList_Check(items.ptr()))
                    throw_python(ErrorKind::Type,
                                 std::string("items must be a list, not ") + Py_TYPE(items.ptr())->tp_name);
                std::vector<DictionaryItemPtr> list;
                list.reserve(PyList_GET_SIZE(items.ptr()));
                for (nb::handle h : nb::borrow<nb::list>(items)) {
                    if (!nb::isinstance<DictionaryItem>(h))
                        throw_python(ErrorKind::Type,
                                     std::string("items must hold dictionary items, not ") + Py_TYPE(h.ptr())->tp_name);
                    list.push_back(nb::cast<DictionaryItemPtr>(h));
                }
                new (self) Dictionary(std::move(list));
            },
            "items"_a)
        .def_prop_ro("key_map",
                     [](const Dictionary &d) {
                         nb::dict result;
                         for (const auto &item : d.items()) result[nb::int_(item->key())] = item_object(item);
                         return result;
                     })
        .def_prop_ro("name_map",
                     [](const Dictionary &d) {
                         nb::dict result;
                         for (const auto &item : d.items())
                             result[nb::str(item->name().data(), item->name().size())] = item_object(item);
                         return result;
                     })
        .def(
            "set", [](Dictionary &d, nb::handle name, nb::handle value) { item_by_name(d, name).set(to_value(value)); },
            "name"_a, "value"_a)
        .def(
            "get", [](const Dictionary &d, nb::handle name) { return from_value(item_by_name(d, name).get()); },
            "name"_a)
        .def(
            "_read", [](const Dictionary &d, nb::handle key) { return item_by_key(d, key)._read(); }, "key"_a)
        .def(
            "_write",
            [](Dictionary &d, nb::handle key, nb::handle value) { item_by_key(d, key)._write(raw_argument(value)); },
            "key"_a, "value"_a)
        .def("_set_inputs_to_failsafe", &Dictionary::_set_inputs_to_failsafe);
}

}  // namespace kestrel::py
