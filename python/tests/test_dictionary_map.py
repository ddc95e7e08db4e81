"""Dictionary map: editing model, container behaviour, data exchange, text form."""

import gc
import weakref

import pytest

from kestrel.kestrel import (
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DictionaryMap,
    DictionaryMappedItem,
    FSOEFrame,
    FSOEMasterException,
    FSOEMasterMappingLockedException,
    FSoEAlreadyMappedException,
)

MASTER = {DictionaryItemOutput, DictionaryItemInputOutput}
LOCKED = "^Mapping is locked, cannot be modified$"


@pytest.fixture
def items():
    return {
        "b": DictionaryItemOutput(1, "b", DataType.BOOL),
        "u8": DictionaryItemOutput(2, "u8", DataType.UINT8),
        "u16": DictionaryItemOutput(3, "u16", DataType.UINT16),
        "u32": DictionaryItemInputOutput(4, "u32", DataType.UINT32, 0),
        "in": DictionaryItemInput(5, "in", DataType.UINT8, 0),
        "b2": DictionaryItemOutput(6, "b2", DataType.BOOL),
        "n4": DictionaryItemOutput(7, "n4", DataType.UINT8),
    }


@pytest.fixture
def m(items):
    return DictionaryMap(Dictionary(list(items.values())), MASTER)


def layout(m):
    return [(e.item.name if e.item else None, e.position_bits, e.bits) for e in m]


def test_exception_classes():
    assert issubclass(FSOEMasterMappingLockedException, FSOEMasterException)
    assert issubclass(FSoEAlreadyMappedException, FSOEMasterException)
    assert issubclass(FSOEMasterException, Exception)


def test_entries_and_identity(m, items):
    e = m.add(items["u8"])
    assert m[0] is e and m[-1] is e and e.item is items["u8"] and m._items[0] is e
    assert list(m) == [e] and len(m) == 1 and e in m
    assert m.dictionary is m.dictionary and m.dictionary.key_map[2] is items["u8"]
    assert m.item_types_accepted == MASTER
    assert e.copy() not in m and e.copy().item is items["u8"]
    assert e.copy_as_padding().item is None
    with pytest.raises(TypeError):
        items["u8"] in m
    with pytest.raises(IndexError):
        m[1]
    assert m[0:1] == [e]
    entry = DictionaryMappedItem(None, 12, 20)
    assert entry.position_byte_bits() == (2, 4) and entry.size_bytes_bits() == (1, 4)
    for bad in (256, -1):
        with pytest.raises(OverflowError):
            DictionaryMappedItem(None, bad, 0)


def test_copy_keeps_lock_and_items(m, items):
    m.add(items["b"])
    m._lock()
    c = m.copy()
    assert c.locked and c.dictionary is m.dictionary and len(c) == 1
    assert c[0] is not m[0] and c[0].item is items["b"]
    m._lock(False)
    assert not m.locked and c.locked


@pytest.mark.parametrize(
    "paddings, item_keys, completed",
    [
        ([], [], [8]),
        ([1], [], [8]),
        ([8, 1], [], [8, 8]),
        ([16, 1], [], [16, 16]),
        ([16], [], [16]),
        ([], ["b"], [1, 7]),
        ([], ["u8", "b"], [8, 1, 7]),
        ([], ["u16", "b"], [16, 1, 15]),
    ],
)
def test_complete_with_padding(m, items, paddings, item_keys, completed):
    for w in paddings:
        m.add_padding(w)
    for key in item_keys:
        m.add(items[key])
    m.complete_with_padding()
    assert [e.bits for e in m] == completed


def test_complete_widens_a_trailing_padding(m, items):
    m.add(items["b"])
    m.add_padding(2)
    m.complete_with_padding()
    assert layout(m) == [("b", 0, 1), (None, 1, 7)]


def test_trim(m, items):
    m.trim_map()
    assert layout(m) == [(None, 0, 8)]
    m.clear()
    m.add(items["b"])
    m.add_padding(20)
    m.add_padding(3)
    m.trim_map()
    assert layout(m) == [("b", 0, 1), (None, 1, 7)]


def test_add_alignment_rules(m, items):
    m.add_padding(4)
    with pytest.raises(IndexError, match="^Variables with more than 8 bits must be aligned in 8-bit safe-data slots$"):
        m.add(items["u16"])
    assert layout(m) == [(None, 0, 4)]
    m.add(items["u16"], align_to_bits=8)
    assert layout(m) == [(None, 0, 4), (None, 4, 4), ("u16", 8, 16)]
    # the gap stays when the item is then refused
    m.clear()
    m.add_padding(4)
    with pytest.raises(PermissionError):
        m.add(items["in"], align_to_bits=8)
    assert layout(m) == [(None, 0, 4), (None, 4, 4)]
    with pytest.raises(ValueError, match="^Cannot add padding without indicating bits$"):
        m.add(None)
    assert m.add_padding(0).bits == 0


def test_add_narrow_and_wide_widths(m, items):
    m.add(items["u8"], bits=3)
    m.add_by_key(1)
    assert layout(m) == [("u8", 0, 3), ("b", 3, 1)]
    with pytest.raises(KeyError) as info:
        m.add_by_key(99)
    assert info.value.args == (99,)
    with pytest.raises(OverflowError, match="uint8_t"):
        m.add(items["u16"], bits=256)
    with pytest.raises(OverflowError, match="uint16_t"):
        m.add_padding(70000)
    with pytest.raises(OverflowError, match="uint8_t"):
        m.add_padding(300)


def test_lock_and_already_mapped(m, items):
    e = m.add(items["b"])
    m.add(items["u8"])
    with pytest.raises(FSoEAlreadyMappedException, match="^Item b is already mapped in the dictionary map$"):
        m.add(items["b"])
    m._lock()
    # already mapped is reported before the lock
    with pytest.raises(FSoEAlreadyMappedException):
        m.insert(0, items["b"])
    before = layout(m)
    for call in (
        lambda: m.add(items["u16"]),
        lambda: m.add_padding(1),
        lambda: m.insert(0, None, 1),
        lambda: m.insert_in_best_position(items["b2"]),
        lambda: m.set_bits(e, 2),
        lambda: m.move_item_down(e),
        lambda: m.merge_adjacent_paddings(),
        lambda: m.complete_with_padding(),
        lambda: m.trim_map(),
        lambda: m.clear(),
    ):
        with pytest.raises(FSOEMasterMappingLockedException, match=LOCKED):
            call()
    assert layout(m) == before
    m.transform_to_padding(items["u8"])
    m.remove(e)
    assert layout(m) == [(None, 0, 8)]


def test_inserts(m, items):
    a = m.add(items["u8"])
    c = m.add(items["u16"])
    m.add(items["b"])
    b = m.insert(0, items["b2"])
    assert layout(m) == [("b2", 0, 1), ("u8", 1, 8), ("u16", 9, 16), ("b", 25, 1)]
    m.insert(100, None, 2)
    assert layout(m)[-1] == (None, 26, 2)
    m.insert(-1, None, 3)
    assert layout(m)[-2] == (None, 26, 3)
    p = m.insert_before(c, None, 4)
    assert m[2] is p
    q = m.insert_after(a, None, 5)
    assert m[2] is q and m[0] is b
    orphan = DictionaryMappedItem(None, 1, 0)
    with pytest.raises(ValueError):
        m.insert_before(orphan, None, 1)
    with pytest.raises(ValueError):
        m.insert_after(orphan, None, 1)


def test_insert_in_best_position_examples(items):
    out8 = DictionaryItemOutput(10, "o8", DataType.UINT8)
    out4 = DictionaryItemOutput(11, "o4", DataType.UINT8)
    flag = DictionaryItemOutput(12, "flag", DataType.BOOL)

    def build():
        m = DictionaryMap(Dictionary([out8, out4, flag]), MASTER)
        m.add(out8)
        m.add_padding(12)
        m.add(out4, bits=4)
        return m

    m = build()
    m.insert_in_best_position(flag, align_to_bits=4)
    assert layout(m) == [("o8", 0, 8), ("flag", 8, 1), (None, 9, 11), ("o4", 20, 4)]
    m = build()
    e = m.insert_in_best_position(flag, align_to_bits=16)
    assert layout(m) == [("o8", 0, 8), (None, 8, 8), ("flag", 16, 1), (None, 17, 3), ("o4", 20, 4)]
    assert m[2] is e


def test_insert_in_best_position_fallbacks(m, items):
    e = m.insert_in_best_position(items["u8"])
    assert layout(m) == [("u8", 0, 8)] and m[0] is e
    m.add_padding(4)  # trailing padding too small for a UINT16: dropped, then appended
    m.insert_in_best_position(items["u16"])
    assert layout(m) == [("u8", 0, 8), ("u16", 8, 16)]
    m.add_padding(4)
    with pytest.raises(FSoEAlreadyMappedException):
        m.insert_in_best_position(items["u8"])
    # the fallback dropped the trailing padding before add refused the item
    assert layout(m) == [("u8", 0, 8), ("u16", 8, 16)]
    m.add_padding(4)
    m.add_padding(8)  # merged with the 4 before it: 12 bits hold the BOOL
    m.insert_in_best_position(items["b"])
    assert layout(m) == [("u8", 0, 8), ("u16", 8, 16), ("b", 24, 1), (None, 25, 11)]
    with pytest.raises(PermissionError):
        m.insert_in_best_position(items["in"])
    assert layout(m)[-1] == (None, 25, 11)


def test_set_bits_moves_and_removal(m, items):
    a = m.add(items["u8"])
    b = m.add(items["b"])
    c = m.add(items["b2"])
    m.set_bits(a, 4)
    assert layout(m) == [("u8", 0, 4), ("b", 4, 1), ("b2", 5, 1)]
    assert m.move_item_up(a) is False and m.move_item_down(c) is False
    assert m.move_item_up(c) is True
    assert layout(m) == [("u8", 0, 4), ("b2", 4, 1), ("b", 5, 1)]
    orphan = DictionaryMappedItem(items["b"], 1, 5)
    for call in (lambda: m.set_bits(orphan, 1), lambda: m.move_item_up(orphan), lambda: m.move_item_down(orphan)):
        with pytest.raises(ValueError, match="^The item does not belong to this map$"):
            call()
    for call in (lambda: m.remove(orphan), lambda: m.transform_to_padding(orphan)):
        with pytest.raises(ValueError):
            call()
    m.remove(items["u16"])  # not mapped: nothing happens
    m.transform_to_padding(b2 := items["b2"])
    assert layout(m) == [("u8", 0, 4), (None, 4, 1), ("b", 5, 1)]
    assert b2 in m.unmapped_dictionary_items()
    m.remove(a)
    assert layout(m) == [(None, 0, 1), ("b", 1, 1)] and a not in m
    with pytest.raises(TypeError):
        m.remove(3)


def test_merge_adjacent_paddings(m, items):
    for w in (3, 5):
        m.add_padding(w)
    m.add(items["b"])
    m.add_padding(2)
    m.add_padding(2)
    m.merge_adjacent_paddings()
    assert layout(m) == [(None, 0, 8), ("b", 8, 1), (None, 9, 4)]


def test_queries(m, items):
    m.add(items["u32"])
    m.add_padding(3)
    m.add(items["b"])
    assert m.mapped_dictionary_items() == [items["u32"], items["b"]]
    assert m.unmapped_dictionary_items() == [items["u8"], items["u16"], items["b2"], items["n4"]]
    assert (m.safety_bits, m.safety_bytes) == (36, 5)
    empty = DictionaryMap(Dictionary([]), set())
    assert (empty.safety_bits, empty.safety_bytes, empty.unmapped_dictionary_items()) == (0, 0, [])


def test_exact_classes_only(items):
    class Custom(DictionaryItem):
        pass

    custom = Custom(50, "custom", DataType.UINT8)
    m = DictionaryMap(Dictionary([custom]), {DictionaryItem})
    with pytest.raises(PermissionError):
        m.add(custom)
    assert m.unmapped_dictionary_items() == []
    with pytest.raises(TypeError):
        DictionaryMap(Dictionary([]), {int})


def test_longer_than_255_bits_is_refused(m, items):
    for _ in range(5):
        m.add_padding(50)
    with pytest.raises(OverflowError, match="255 bits"):
        m.add(items["u8"])
    assert m.safety_bits == 250 and len(m) == 5


# --- data exchange --------------------------------------------------------------


def exchange_map(*entries):
    """entries: (item or None, bits or None)."""
    items = [e[0] for e in entries if e[0] is not None]
    m = DictionaryMap(Dictionary(items), {DictionaryItemInputOutput})
    for item, bits in entries:
        m.insert(len(m), item, bits)
    return m


def io(key, data_type, name=None):
    return DictionaryItemInputOutput(key, name or f"i{key}", data_type, data_type.get_initial_value())


def test_packing_worked_example():
    a, s = io(1, DataType.BOOL, "a"), io(2, DataType.UINT16, "s")
    m = exchange_map((a, None), (None, 7), (s, None), (None, 8))
    a.set(True)
    s.set(0x1234)
    frame = FSOEFrame()
    frame.safe_data[5] = 0xFFFF  # cleared by packing
    m._set_data_to_frame(frame)
    assert list(frame.safe_data) == [0x3401, 0x0012, 0, 0, 0, 0, 0, 0]
    assert frame.get_safe_data_bytes()[:4] == bytes([0x01, 0x34, 0x12, 0x00])
    m._get_data_from_frame(frame)
    assert a.value_input is True and s.value_input == 0x1234


@pytest.mark.parametrize(
    "entries, value, words",
    [
        ([(None, 12), (DataType.UINT8, None)], 0xAB, [0xB000, 0x000A]),
        ([(DataType.UINT32, None)], 0x12345678, [0x5678, 0x1234]),
        ([(None, 8), (DataType.UINT16, None)], 0xBEEF, [0xEF00, 0x00BE]),
        ([(DataType.BOOL, None), (None, 7)], True, [0x0001, 0]),
        ([(None, 16), (DataType.INT8, None)], -2, [0, 0x00FE]),
        ([(None, 4), (DataType.FLOAT, None)], 1.0, [0x0000, 0xF800, 0x0003]),
    ],
)
def test_bit_layout(entries, value, words):
    item = None
    built = []
    for data_type, bits in entries:
        if data_type is None:
            built.append((None, bits))
        else:
            item = io(1, data_type)
            built.append((item, bits))
    m = exchange_map(*built)
    item.set(value)
    frame = FSOEFrame()
    m._set_data_to_frame(frame)
    assert list(frame.safe_data)[: len(words)] == words
    m._get_data_from_frame(frame)
    assert item.value_input == value


def test_unpacking_calls_subscribers_once_and_ignores_uncovered_bits():
    a, b = io(1, DataType.UINT8), io(2, DataType.UINT8)
    m = exchange_map((a, None), (b, None))
    calls = []
    a.subscribe_input_changed(lambda: calls.append(("a", a.value_input, b.value_input)))
    b.subscribe_input_changed(lambda: calls.append(("b", a.value_input, b.value_input)))
    frame = FSOEFrame()
    frame.safe_data[0] = 0x0201
    frame.safe_data[1] = 0xFFFF  # not covered by the map
    m._get_data_from_frame(frame)
    m._get_data_from_frame(frame)
    # in map order, each input updated before the next entry is unpacked
    assert calls == [("a", 1, 0), ("b", 1, 2)]


def test_narrowed_entry_is_masked():
    a, b = io(1, DataType.UINT8), io(2, DataType.UINT8)
    m = exchange_map((a, 4), (b, None))
    a.set(0xFF)
    b.set(0)
    frame = FSOEFrame()
    m._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x000F
    frame.safe_data[0] = 0x0FF5
    m._get_data_from_frame(frame)
    assert (a.value_input, b.value_input) == (5, 0xFF)


def test_map_longer_than_a_frame_is_not_exchanged():
    a = io(1, DataType.UINT8)
    m = exchange_map((a, None), (None, 121))
    frame = FSOEFrame()
    frame.safe_data[0] = 7
    with pytest.raises(ValueError, match="128 bits"):
        m._set_data_to_frame(frame)
    with pytest.raises(ValueError, match="128 bits"):
        m._get_data_from_frame(frame)
    assert frame.safe_data[0] == 7 and a.value_input == 0


def test_exchange_errors_propagate():
    inp = DictionaryItemInput(1, "in", DataType.UINT8, 0)
    out = DictionaryItemOutput(2, "out", DataType.UINT8)
    m = DictionaryMap(Dictionary([inp, out]), {DictionaryItemInput, DictionaryItemOutput})
    m.add(inp)
    frame = FSOEFrame()
    with pytest.raises(NotImplementedError):
        m._set_data_to_frame(frame)
    m.clear()
    m.add(out)
    with pytest.raises(NotImplementedError):
        m._get_data_from_frame(frame)
    out.set(256)
    frame.safe_data[2] = 0x1234
    with pytest.raises(ValueError):
        m._set_data_to_frame(frame)
    assert list(frame.safe_data) == [0] * 8  # nothing of an earlier frame survives a failed packing


def test_empty_map_packs_zeros():
    m = exchange_map()
    frame = FSOEFrame()
    frame.safe_data[3] = 9
    m._set_data_to_frame(frame)
    m._get_data_from_frame(frame)
    assert list(frame.safe_data) == [0] * 8


def test_text_representation():
    a, s = io(1, DataType.BOOL, "a"), io(2, DataType.UINT16, "s")
    m = exchange_map((a, None), (None, 7), (s, None), (None, 8))
    rows = [
        ("Item", "Position bytes..bits", "Size bytes..bits"),
        ("a", "0..0", "0..1"),
        ("Padding", "0..1", "0..7"),
        ("s", "1..0", "2..0"),
        ("Padding", "3..0", "1..0"),
    ]
    expected = "\n".join(f"{c1:<40} | {c2:<20} | {c3:<20}" for c1, c2, c3 in rows)
    assert m.get_text_representation() == expected
    assert m.get_text_representation(item_space=40) == expected
    long_name = io(3, DataType.BOOL, "a_rather_long_name")
    m2 = exchange_map((long_name, None))
    assert m2.get_text_representation(10).splitlines()[1] == "a_rather_long_name | 0..0                 | 0..1                "
    assert exchange_map().get_text_representation() == f"{'Item':<40} | {'Position bytes..bits':<20} | {'Size bytes..bits':<20}"
    with pytest.raises(TypeError):
        m.get_text_representation("40")


def full_map_with_a_gap():
    """255 bits: a UINT8, a 12-bit padding, 29 UINT8s and a 3-bit padding."""
    outs = [DictionaryItemOutput(k, f"o{k}", DataType.UINT8) for k in range(30)]
    flag = DictionaryItemOutput(99, "flag", DataType.BOOL)
    m = DictionaryMap(Dictionary(outs + [flag]), MASTER)
    m.add(outs[0])
    m.add_padding(12)
    for item in outs[1:]:
        m.insert(len(m), item)
    m.add_padding(3)
    assert m.safety_bits == 255
    return m, flag


def test_best_position_in_a_full_map_keeps_its_length():
    m, flag = full_map_with_a_gap()
    e = m.insert_in_best_position(flag)
    assert layout(m)[:4] == [("o0", 0, 8), ("flag", 8, 1), (None, 9, 11), ("o1", 20, 8)]
    assert m.safety_bits == 255 and m[1] is e
    positions = [entry.position_bits for entry in m]
    assert positions == [sum(entry.bits for entry in m[:i]) for i in range(len(m))]


def test_trim_that_cannot_complete_leaves_the_map():
    outs = [DictionaryItemOutput(k, f"o{k}", DataType.UINT8) for k in range(31)]
    m = DictionaryMap(Dictionary(outs), MASTER)
    for item in outs:
        m.add(item)
    m.add_padding(4)
    m.add_padding(3)  # merged by the trim, then the 248 bits would need 256
    before = layout(m)[:-2]
    with pytest.raises(OverflowError, match="255 bits"):
        m.trim_map()
    assert layout(m) == before + [(None, 248, 7)]


@pytest.mark.parametrize("bits", [256, -1, 2**70])
def test_bad_width_is_reported_after_lock_and_membership(m, items, bits):
    e = m.add(items["b"])
    orphan = DictionaryMappedItem(None, 1, 0)
    with pytest.raises(ValueError, match="^The item does not belong to this map$"):
        m.set_bits(orphan, bits)
    with pytest.raises(FSoEAlreadyMappedException):
        m.add(items["b"], bits)
    m._lock()
    for call in (lambda: m.set_bits(e, bits), lambda: m.add(items["u8"], bits), lambda: m.insert(0, None, bits)):
        with pytest.raises(FSOEMasterMappingLockedException, match=LOCKED):
            call()
    m._lock(False)
    for call in (lambda: m.set_bits(e, bits), lambda: m.add(items["u8"], bits), lambda: m.insert(0, None, bits)):
        with pytest.raises(OverflowError, match="uint8_t$"):
            call()
    assert layout(m) == [("b", 0, 1)]
    with pytest.raises(TypeError):
        m.set_bits(e, 1.0)


def test_arguments_are_checked_in_order(items):
    with pytest.raises(TypeError, match="item"):
        DictionaryMappedItem(5, 300, "x")
    with pytest.raises(OverflowError):
        DictionaryMappedItem(None, 300, "x")


def test_add_by_key_unknown_huge_key(m):
    with pytest.raises(KeyError) as info:
        m.add_by_key(2**70)
    assert info.value.args == (2**70,)


def test_zero_width_item_after_the_last_bit():
    a = io(1, DataType.UINT8)
    a._write(9)
    m = exchange_map((None, 128), (a, 0))
    frame = FSOEFrame()
    for i in range(8):
        frame.safe_data[i] = 0xFFFF
    m._set_data_to_frame(frame)
    assert list(frame.safe_data) == [0] * 8
    frame.safe_data[7] = 0xFFFF
    m._get_data_from_frame(frame)
    assert a.value_input == 0  # no bits: always read as 0


@pytest.mark.parametrize("active, locked", [(None, False), (0, False), ([], False), ("yes", True), (2, True)])
def test_lock_takes_the_truth_value(m, active, locked):
    m._lock(not locked)
    m._lock(active)
    assert m.locked is locked and m._locked is locked


def test_a_refused_item_near_the_end_reports_its_own_refusal(m, items):
    # The item would not fit after its alignment gap, but it is refused for
    # its kind or its alignment first: the gap stays, as anywhere else.
    m.add_padding(245)
    with pytest.raises(PermissionError):
        m.add(items["in"], align_to_bits=8)
    assert [e.bits for e in m] == [245, 3]
    m.add_padding(2)
    with pytest.raises(IndexError, match="^Variables with more than 8 bits"):
        m.add(items["u16"], align_to_bits=2)
    with pytest.raises(OverflowError, match="255 bits"):
        m.add(items["u16"], align_to_bits=8)  # aligned, but 6 + 16 bits do not fit
    assert [e.bits for e in m] == [245, 3, 2]


def test_zero_width_entry_on_a_word_boundary_moves_nothing():
    # a stepwise word counter would skip a word after it; every entry keeps its own bits
    a, b, c = io(1, DataType.UINT16), io(2, DataType.UINT8), io(3, DataType.UINT8)
    m = exchange_map((a, None), (b, 0), (c, None))
    a.set(0x1234)
    b.set(0xFF)
    c.set(0x56)
    frame = FSOEFrame()
    m._set_data_to_frame(frame)
    assert list(frame.safe_data)[:3] == [0x1234, 0x0056, 0]
    frame.safe_data[1] = 0x0078
    m._get_data_from_frame(frame)
    assert (a.value_input, b.value_input, c.value_input) == (0x1234, 0, 0x78)


@pytest.mark.parametrize(
    "share",
    [
        lambda app: app.m.add_by_key(1),
        lambda app: setattr(app, "copy", app.m.copy()),
        lambda app: setattr(app, "entry", app.m.add(app.item).copy()),
        lambda app: (app.m.add(app.item), setattr(app, "copies", [app.m.copy(), app.m.copy().copy()])),
    ],
    ids=["add_by_key", "map copy", "entry copy", "copies of copies"],
)
def test_cycles_through_an_item_held_twice_are_collected(share):
    class App:
        def __init__(self):
            self.item = DictionaryItemInputOutput(1, "a", DataType.UINT8, 0)
            self.m = DictionaryMap(Dictionary([self.item]), {DictionaryItemInputOutput})
            share(self)
            self.item.subscribe_input_changed(self.changed)

        def changed(self):
            pass

    app = App()
    entries = [e.item for e in app.m]
    assert all(item is app.item for item in entries)  # identity kept
    del entries
    ref = weakref.ref(app)
    del app
    gc.collect()
    assert ref() is None
