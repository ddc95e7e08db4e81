"""Dictionary items, the dictionary, the change rule and subscribers."""

import gc
import subprocess
import sys
import threading

import pytest

from kestrel.kestrel import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
)


class Counter:
    def __init__(self):
        self.calls = 0

    def __call__(self):
        self.calls += 1


def test_fields_and_alias():
    item = DictionaryItemInput(7, "speed", DataType.INT16, -3)
    assert (item.key, item.name, item.data_type) == (7, "speed", DataType.INT16)
    assert item.fail_safe_value == -3 and item._value == -3 and item.get() == -3
    assert DictionaryItem.DataTypes is DataType
    assert DictionaryItemOutput.DataTypes.UINT8 is DataType.UINT8
    out = DictionaryItemOutput(1, "o", DataType.FLOAT)
    assert out._value == 0.0 and isinstance(out._value, float)
    both = DictionaryItemInputOutput(2, "b", DataType.BOOL, True)
    assert both.value_input is True and both.value_output is False and both.fail_safe_input_value is True
    for attr in ("key", "name", "data_type"):
        with pytest.raises(AttributeError):
            setattr(item, attr, 1)


@pytest.mark.parametrize(
    "args, error",
    [
        ((2**31, "n", DataType.BOOL), OverflowError),
        ((-(2**31) - 1, "n", DataType.BOOL), OverflowError),
        ((1.0, "n", DataType.BOOL), TypeError),
        ((True, "n", DataType.BOOL), TypeError),
        ((1, b"n", DataType.BOOL), TypeError),
        ((1, "n", 3), TypeError),
        ((2**40, 5, 3), OverflowError),  # the key is checked first
        ((1, "\ud800", DataType.BOOL), UnicodeEncodeError),
    ],
)
def test_construction_argument_errors(args, error):
    with pytest.raises(error):
        DictionaryItemOutput(*args)


def test_operations_by_kind():
    base = DictionaryItem(1, "base", DataType.UINT8)
    for call in (lambda: base.set(1), base.get, base._read, lambda: base._write(1)):
        with pytest.raises(NotImplementedError):
            call()
    with pytest.raises(TypeError):
        base._write(1.0)  # the integer check comes first
    base._set_fail_safe()  # does nothing

    inp = DictionaryItemInput(2, "in", DataType.UINT8, 0)
    with pytest.raises(PermissionError, match="^Cannot set safe input item in$"):
        inp.set(1)
    with pytest.raises(NotImplementedError):
        inp._read()

    out = DictionaryItemOutput(3, "out", DataType.INT8)
    out.set(-1)
    assert out.get() == -1 and out._read() == 255
    with pytest.raises(NotImplementedError):
        out._write(1)
    out.set(1000)  # not checked until serialised
    with pytest.raises(ValueError):
        out._read()

    both = DictionaryItemInputOutput(4, "both", DataType.UINT16, 9)
    both.set(5)
    assert both.value_output == 5 and both.get() == 9 and both._read() == 5
    both._write(7)
    assert both.value_input == 7 and both.value_output == 5


def test_change_rule_and_subscribers():
    item = DictionaryItemInput(1, "in", DataType.UINT8, 0)
    first, second = Counter(), Counter()
    order = []
    item.subscribe_changed(first)
    item.subscribe_changed(first)  # an equal callable is kept once
    item.subscribe_changed(second)
    item.subscribe_changed(lambda: order.append((first.calls, second.calls)))
    item._write(0)
    assert first.calls == 0
    item._write(5)
    assert (first.calls, second.calls) == (1, 1) and order == [(1, 1)]
    assert item.get() == 5
    item._set_fail_safe()
    assert item.get() == 0 and first.calls == 2
    item._set_fail_safe()
    assert first.calls == 2
    item.unsubscribe_changed(first)
    item.unsubscribe_changed(first)  # not subscribed any more: nothing happens
    item.unsubscribe_changed(print)
    item._write(1)
    assert (first.calls, second.calls) == (2, 3)


def test_bound_methods_compare_equal():
    class App:
        def __init__(self):
            self.calls = 0

        def changed(self):
            self.calls += 1

    app = App()
    item = DictionaryItemInputOutput(1, "io", DataType.BOOL, False)
    item.subscribe_input_changed(app.changed)
    item.subscribe_input_changed(app.changed)  # a new but equal bound method
    item._write(1)
    assert app.calls == 1
    item._write(1)  # true written as 1 again: no change
    assert app.calls == 1
    item.unsubscribe_input_changed(app.changed)
    item._write(0)
    assert app.calls == 1


def test_failing_subscriber_keeps_value_and_skips_the_rest():
    item = DictionaryItemInput(1, "in", DataType.UINT8, 0)
    later = Counter()

    def fail():
        raise RuntimeError("boom")

    item.subscribe_changed(fail)
    item.subscribe_changed(later)
    with pytest.raises(RuntimeError, match="boom"):
        item._write(3)
    assert item.get() == 3 and later.calls == 0


def test_subscribe_requires_a_callable():
    with pytest.raises(TypeError):
        DictionaryItemInput(1, "in", DataType.UINT8, 0).subscribe_changed(42)


@pytest.mark.parametrize(
    "value, new, changed",
    [(1, 1.0, False), (1, True, False), (0, False, False), (1, 1.5, True), (float("nan"), float("nan"), False)],
)
def test_numeric_equality_of_the_change_rule(value, new, changed):
    item = DictionaryItemInput(1, "in", DataType.FLOAT, value)
    counter = Counter()
    item.subscribe_changed(counter)
    item._write(DataType.FLOAT.serialize_value(new))
    assert counter.calls == (1 if changed else 0)


def test_dictionary_maps_and_access():
    a = DictionaryItemOutput(1, "a", DataType.UINT8)
    b = DictionaryItemInput(2, "b", DataType.BOOL, False)
    c = DictionaryItemInputOutput(3, "c", DataType.INT16, -1)
    d = Dictionary([a, b, c])
    assert list(d.key_map) == [1, 2, 3] and list(d.name_map) == ["a", "b", "c"]
    assert d.key_map[2] is b and d.name_map["c"] is c
    d.set("a", 200)
    assert a.get() == 200 and d.get("a") == 200 and d._read(1) == 200
    d.set("c", 5)
    assert c.value_output == 5 and d.get("c") == -1
    with pytest.raises(PermissionError, match="^Cannot set safe input item b$"):
        d.set("b", True)
    d._write(3, 0xFFFE)
    assert c.get() == -2
    d._set_inputs_to_failsafe()
    assert (a.get(), b.get(), c.value_input, c.value_output) == (200, False, -1, 5)


@pytest.mark.parametrize(
    "call, key",
    [
        (lambda d: d.get("zz"), "zz"),
        (lambda d: d.set("zz", 1), "zz"),
        (lambda d: d._read(99), 99),
        (lambda d: d._write(99, 1), 99),
        (lambda d: d._read(2**40), 2**40),
        (lambda d: d._write(2**70, 1), 2**70),
        (lambda d: d.get("a\x00"), "a\x00"),
        (lambda d: d.get("\ud800"), "\ud800"),
    ],
)
def test_dictionary_unknown_keys(call, key):
    d = Dictionary([DictionaryItemOutput(1, "a", DataType.UINT8)])
    with pytest.raises(KeyError) as info:
        call(d)
    assert info.value.args == (key,)


@pytest.mark.parametrize(
    "items, message",
    [
        ([(1, "a"), (1, "a")], "Duplicated Key 1"),
        ([(1, "a"), (2, "a")], "Duplicated name a"),
        ([(5, "x"), (6, "y"), (5, "z")], "Duplicated Key 5"),
    ],
)
def test_dictionary_duplicates(items, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        Dictionary([DictionaryItemOutput(k, n, DataType.UINT8) for k, n in items])


def test_dictionary_argument_types():
    with pytest.raises(TypeError):
        Dictionary((DictionaryItemOutput(1, "a", DataType.UINT8),))
    with pytest.raises(TypeError):
        Dictionary([1])
    empty = Dictionary([])
    empty._set_inputs_to_failsafe()
    assert empty.key_map == {}


def test_values_are_whole_across_threads():
    out = DictionaryItemOutput(1, "o", DataType.FLOAT)
    seen = set()
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            out.set(-1)
            out.set(0.5)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(20000):
            seen.add(repr(out.get()))
    finally:
        stop.set()
        thread.join()
    assert seen <= {"-1", "0.5", "0.0"}


def test_subscriber_cycles_are_collected():
    class App:
        def __init__(self):
            self.item = DictionaryItemInput(1, "in", DataType.UINT8, 0)
            self.dictionary = Dictionary([self.item])
            self.item.subscribe_changed(self.changed)

        def changed(self):
            pass

    import weakref

    app = App()
    ref = weakref.ref(app)
    del app
    gc.collect()
    assert ref() is None


def test_no_leak_report_at_exit():
    code = (
        "from kestrel.kestrel import *\n"
        "a = DictionaryItemInputOutput(1, 'a', DataType.BOOL, False)\n"
        "d = Dictionary([a])\n"
        "m = DictionaryMap(d, {DictionaryItemInputOutput})\n"
        "e = m.add(a)\n"
        "a.subscribe_input_changed(lambda: print(d, m, e))\n"
        "a._write(1)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "leaked" not in result.stderr


def test_names_are_kept_whole():
    item = DictionaryItemOutput(1, "a\x00b", DataType.UINT8)
    d = Dictionary([item])
    assert item.name == "a\x00b" and list(d.name_map) == ["a\x00b"]
    d.set("a\x00b", 3)
    assert d.get("a\x00b") == 3
