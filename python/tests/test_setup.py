"""Connection set-up data as the host sees it: dynamic map items and maps,
application parameters and their master, the SRA CRC."""

import gc
import math
import weakref

import pytest

from kestrel.kestrel import (
    ApplicationParameter,
    DataType,
    DynamicMappableItem,
    FSOEDynamicMap,
    FSOEFrame,
    FSOEMasterException,
    FSOEMasterRunningException,
    calculate_sra_crc,
)

RUNNING_MESSAGE = "Application parameters cannot be changed while the master is running"
ALREADY_USED_MESSAGE = "Application parameter already used by a master"


def frame_of(size):
    frame = FSOEFrame()
    frame.safe_data_size_bytes = size
    return frame


class Master:
    """Stands in for the master handler: anything with a `running` state."""

    def __init__(self, running=False):
        self.running = running


# ---- DynamicMappableItem ---------------------------------------------------------


@pytest.mark.parametrize(
    "data_type, value, raw, n_bytes",
    [
        (DataType.BOOL, True, 1, 1),
        (DataType.INT8, -1, 0xFF, 1),
        (DataType.UINT16, 0x1234, 0x1234, 2),
        (DataType.INT32, -2, 0xFFFFFFFE, 4),
        (DataType.FLOAT, 1.0, 0x3F800000, 4),
    ],
)
def test_item_holds_the_raw_form_of_its_value(data_type, value, raw, n_bytes):
    item = DynamicMappableItem(initial_value=value, data_type=data_type)
    assert (item.raw_value, item._raw_value, item.n_bytes, item.data_type) == (raw, raw, n_bytes, data_type)
    assert item.get() == value and item.value == value
    item.value = data_type.get_initial_value()
    assert item.raw_value == 0


@pytest.mark.parametrize(
    "data_type, bad, error",
    [(DataType.UINT8, 256, ValueError), (DataType.UINT8, 1.5, TypeError), (DataType.BOOL, 2, ValueError),
     (DataType.UINT16, "1", TypeError), (DataType.UINT16, None, TypeError)],
)
def test_item_refuses_a_value_and_keeps_the_old_one(data_type, bad, error):
    item = DynamicMappableItem(1, data_type)
    with pytest.raises(error):
        item.set(bad)
    with pytest.raises(error):
        item.value = bad
    assert item.raw_value == 1
    with pytest.raises(error):
        DynamicMappableItem(bad, data_type)


def test_item_fields_are_read_only_and_arguments_required():
    item = DynamicMappableItem(3, DataType.UINT8)
    for name in ("_raw_value", "raw_value", "data_type", "n_bytes"):
        with pytest.raises(AttributeError):
            setattr(item, name, 1)
    with pytest.raises(TypeError):
        DynamicMappableItem(3)
    with pytest.raises(TypeError):
        DynamicMappableItem(3, 5)  # not a DataType


def test_value_property_goes_through_a_subclass_set():
    class Doubling(DynamicMappableItem):
        def set(self, value):
            super().set(2 * value)

    item = Doubling(1, DataType.UINT8)
    item.value = 4
    assert item.value == 8


# ---- FSOEDynamicMap: the Python surface ---------------------------------------------


def test_new_map_and_constructor_arguments():
    m = FSOEDynamicMap()
    assert m._items == [] and m.total_items() == 0 and m.pending_items() == 0 and not m.pending()
    counters = ("total_bytes", "bytes_processed", "items_processed", "current_processed_item",
                "current_processed_item_byte")
    assert [getattr(m, c) for c in counters] == [0] * 5
    for c in counters:
        with pytest.raises(AttributeError):
            setattr(m, c, 1)
    with pytest.raises(TypeError):
        FSOEDynamicMap([])


@pytest.mark.parametrize("bad", [None, 3, "item", FSOEDynamicMap])
def test_add_refuses_anything_but_an_item(bad):
    m = FSOEDynamicMap()
    with pytest.raises(TypeError):
        m.add(bad)
    assert m.total_items() == 0 and m.total_bytes == 0


def test_items_list_is_one_live_object():
    a, b = DynamicMappableItem(1, DataType.UINT32), DynamicMappableItem(2, DataType.UINT8)
    m = FSOEDynamicMap()
    m.add(a)
    m.add(b)
    items = m._items
    assert items is m._items
    assert items[0] is a and items[-1] is b and items[:1] == [a] and list(items) == [a, b]
    assert b in items and items.index(b) == 1 and items != [b, a] and items == (a, b)
    with pytest.raises(IndexError):
        items[2]
    m.clear()  # emptied in place
    assert items == [] and m._items is items and m.total_bytes == 0
    # Edits through the list reach the map; only add() counts bytes.
    items.append(a)
    items.insert(0, b)
    assert m.total_items() == 2 and m._items == [b, a] and m.total_bytes == 0
    assert items.pop() is a and m.total_items() == 1
    for edit in (lambda: items.append(None), lambda: items.__setitem__(0, 5), lambda: items.extend([a, None])):
        with pytest.raises(TypeError):
            edit()
    assert m._items == [b]


def test_items_list_operations_of_a_list():
    a, b, c = (DynamicMappableItem(i, DataType.UINT8) for i in range(3))
    m = FSOEDynamicMap()
    m.add(a)
    m.add(b)
    items = m._items
    assert items + [c] == [a, b, c] and [c] + items == [c, a, b] and items.copy() == [a, b]
    assert type(items.copy()) is list and items.count(a) == 1
    m._items += [c]
    assert m._items is items and m.total_items() == 3
    items[0:2] = [c]
    assert items == [c, c]
    with pytest.raises(TypeError):
        items[0:1] = [a, 5]  # all or nothing
    assert items == [c, c]
    del items[:]
    assert m.total_items() == 0 and m._items is items
    with pytest.raises(TypeError):
        hash(items)  # mutable and compared by content


def test_items_list_survives_host_code_that_edits_it_while_searched():
    m = FSOEDynamicMap()
    for i in range(3):
        m.add(DynamicMappableItem(i, DataType.UINT8))
    items = m._items

    class EmptiesTheListThenMatches:
        calls = 0

        def __eq__(self, other):
            self.calls += 1
            if self.calls == 3:
                items.clear()
                return True
            return False

    items.remove(EmptiesTheListThenMatches())  # the match lies past the end now
    assert len(items) == 0 and m.total_items() == 0


def test_items_assignment_accepts_a_list_or_no_value():
    a = DynamicMappableItem(1, DataType.UINT16)
    m = FSOEDynamicMap()
    m._items = [a, a]
    assert m.total_items() == 2 and m._items[1] is a
    m._items = m._items  # its own list back
    assert m.total_items() == 2
    for bad in ((a,), a, 3, [a, "x"], [None]):
        with pytest.raises(TypeError):
            m._items = bad
    assert m._items == [a, a]
    m._items = None
    assert m._items is None and m.total_items() == 0 and m.pending_items() == 0
    m.add(a)  # starts a new list
    assert m._items == [a] and m.total_bytes == 2


@pytest.mark.parametrize("method", ["set_data_to_frame", "get_data_from_frame"])
@pytest.mark.parametrize(
    "valid, error, message",
    [(-1, OverflowError, "can't convert negative value to uint16_t"),
     (65536, OverflowError, "value too large to convert to uint16_t"),
     (True, TypeError, None), (1.0, TypeError, None), (None, TypeError, None)],
)
def test_frame_operations_take_an_unsigned_16_bit_count(method, valid, error, message):
    m = FSOEDynamicMap()
    m.add(DynamicMappableItem(1, DataType.UINT8))
    with pytest.raises(error) as info:
        getattr(m, method)(frame_of(2), valid)
    if message:
        assert str(info.value) == message
    with pytest.raises(TypeError):
        getattr(m, method)(None, 1)
    with pytest.raises(TypeError):
        getattr(m, method)(b"\x00\x00", 1)
    assert m.bytes_processed == 0


def test_is_safedata_correct_needs_a_map():
    with pytest.raises(TypeError):
        FSOEDynamicMap().is_safedata_correct(None)
    with pytest.raises(TypeError):
        FSOEDynamicMap().is_safedata_correct([])


def test_uint16_one_byte_per_frame_echo_checked_after_its_first_byte():
    sender, echo = FSOEDynamicMap(), FSOEDynamicMap()
    sender.add(DynamicMappableItem(0x1234, DataType.UINT16))
    echo.add(DynamicMappableItem(0xFF00, DataType.UINT16))
    frame = frame_of(1)
    sender.set_data_to_frame(frame, 1)
    assert frame.get_safe_data_bytes()[:2] == b"\x34\x00"
    echo.get_data_from_frame(frame, 1)
    assert echo._items[0].raw_value == 0xFF34
    assert echo.is_safedata_correct(sender)  # only the low byte counts yet
    wrong = FSOEDynamicMap()
    wrong.add(DynamicMappableItem(0x1234, DataType.UINT16))
    wrong_frame = frame_of(1)
    wrong_frame.set_safe_data_bytes(b"\x35")
    wrong.get_data_from_frame(wrong_frame, 1)
    assert not wrong.is_safedata_correct(sender)
    sender.set_data_to_frame(frame, 1)
    assert frame.get_safe_data_bytes()[:2] == b"\x12\x00"
    echo.get_data_from_frame(frame, 1)
    assert echo._items[0].value == 0x1234 and echo.is_safedata_correct(sender)
    assert not sender.pending() and sender.items_processed == 1


def test_float_not_a_number_fails_the_echo_once_complete():
    sender, echo = FSOEDynamicMap(), FSOEDynamicMap()
    sender.add(DynamicMappableItem(math.nan, DataType.FLOAT))
    echo.add(DynamicMappableItem(0.0, DataType.FLOAT))
    frame = frame_of(2)
    results = []
    for _ in range(2):
        sender.set_data_to_frame(frame, 2)
        echo.get_data_from_frame(frame, 2)
        results.append(echo.is_safedata_correct(sender))
    assert echo._items[0].raw_value == sender._items[0].raw_value
    assert math.isnan(echo._items[0].value)
    assert results == [True, False]


# ---- ApplicationParameter -----------------------------------------------------------


@pytest.mark.parametrize(
    "n_bytes, data_type, expected",
    [(1, None, DataType.UINT8), (2, None, DataType.UINT16), (4, None, DataType.UINT32),
     (None, DataType.INT16, DataType.INT16), (4, DataType.FLOAT, DataType.FLOAT),
     (1, DataType.BOOL, DataType.BOOL)],
)
def test_parameter_data_type(n_bytes, data_type, expected):
    p = ApplicationParameter("p", 1, n_bytes=n_bytes, data_type=data_type)
    assert p.data_type == expected and p.n_bytes == expected.bytes and p.value == 1


@pytest.mark.parametrize(
    "n_bytes, data_type, message",
    [(None, None, "data type or number of bytes for application parameter must be specified"),
     (3, None, "n_bytes must be 1, 2 or 4, or type be specified"),
     (0, None, "n_bytes must be 1, 2 or 4, or type be specified"),
     (2**70, None, "n_bytes must be 1, 2 or 4, or type be specified"),
     (4, DataType.UINT16, "n_bytes must be equal to the number of bytes of the data type"),
     (2, DataType.BOOL, "n_bytes must be equal to the number of bytes of the data type")],
)
def test_parameter_size_errors_come_before_the_value(n_bytes, data_type, message):
    for value in (5, "not a value"):
        with pytest.raises(ValueError) as info:
            ApplicationParameter("p", value, n_bytes, data_type)
        assert str(info.value) == message


@pytest.mark.parametrize(
    "name, n_bytes, data_type", [(1, 2, None), (b"p", 2, None), ("p", 2.0, None), ("p", True, None),
                                 ("p", "2", None), ("p", None, 5)]
)
def test_parameter_argument_types(name, n_bytes, data_type):
    with pytest.raises(TypeError):
        ApplicationParameter(name, 1, n_bytes, data_type)


def test_parameter_value_errors_and_name():
    with pytest.raises(ValueError):
        ApplicationParameter("p", 256, 1)
    with pytest.raises(TypeError):
        ApplicationParameter("p", "x", 1)
    p = ApplicationParameter(None, -3, data_type=DataType.INT8)
    assert p.name is None and p.raw_value == 0xFD and isinstance(p, DynamicMappableItem)
    p.name = "speed"
    assert p.name == "speed"
    with pytest.raises(TypeError):
        p.name = 3
    for text in ("a\x00b", "\u00fc\u20ac\U0001F600", "\ud800"):  # any str comes back unchanged
        assert ApplicationParameter(text, 1, 1).name == text
        p.name = text
        assert p.name == text


def test_parameter_refuses_changes_while_its_master_runs():
    master = Master()
    p = ApplicationParameter("p", 5, 2)
    p._set_use_by_master(master)
    p.set(6)
    master.running = True
    for change in (lambda: p.set(7), lambda: setattr(p, "value", 7)):
        with pytest.raises(FSOEMasterRunningException) as info:
            change()
        assert str(info.value) == RUNNING_MESSAGE and isinstance(info.value, FSOEMasterException)
    assert p.value == 6
    master.running = False
    p.value = 8
    assert p.value == 8


def test_parameter_is_bound_once_for_good():
    first, second = Master(), Master()
    p = ApplicationParameter("p", 1, 1)
    p._set_use_by_master(None)  # no value binds nothing
    p._set_use_by_master(first)
    for again in (first, second, None, object()):
        with pytest.raises(PermissionError) as info:
            p._set_use_by_master(again)
        assert str(info.value) == ALREADY_USED_MESSAGE
    second.running = True
    p.set(2)  # the first master, which is idle, still decides
    first.running = True
    with pytest.raises(FSOEMasterRunningException):
        p.set(3)


def test_parameter_master_without_a_running_state_refuses_set():
    p = ApplicationParameter("p", 1, 1)
    p._set_use_by_master(object())
    with pytest.raises(AttributeError):
        p.set(2)
    assert p.value == 1
    with pytest.raises(PermissionError):
        p._set_use_by_master(Master())  # bound for good

    class Broken:
        @property
        def running(self):
            raise RuntimeError("no state")

    q = ApplicationParameter("q", 1, 1)
    q._set_use_by_master(Broken())
    with pytest.raises(RuntimeError, match="no state"):
        q.set(2)
    assert q.value == 1


def test_parameter_keeps_its_master_alive_and_cycles_are_collected():
    master = Master(running=True)
    watch = weakref.ref(master)
    p = ApplicationParameter("p", 1, 1)
    p._set_use_by_master(master)
    del master
    gc.collect()
    assert watch() is not None
    with pytest.raises(FSOEMasterRunningException):
        p.set(2)

    # master -> map -> parameter -> master, as a handler holds its parameters
    handler = Master()
    handler.map = FSOEDynamicMap()
    handler.params = [ApplicationParameter("q", 1, 1)]
    handler.map.add(handler.params[0])
    handler.params[0]._set_use_by_master(handler)
    watch = weakref.ref(handler)
    del handler
    gc.collect()
    assert watch() is None


# ---- SRA CRC -------------------------------------------------------------------


@pytest.mark.parametrize(
    "params, crc",
    [([], 0), ([1], 0x8000B332), ([0x0100], 0x814141AB),
     # "123456789" less its last digit, as words low byte first
     ([0x3231, 0x3433, 0x3635, 0x3837], None)],
)
def test_calculate_sra_crc(params, crc):
    result = calculate_sra_crc(params)
    if crc is None:  # the words equal their byte stream: fold the ninth digit on by hand
        reg = result ^ (ord("9") << 24)
        for _ in range(8):
            reg = ((reg << 1) ^ 0x814141AB if reg & 0x80000000 else reg << 1) & 0xFFFFFFFF
        assert reg == 0x3010BF7F
    else:
        assert result == crc


@pytest.mark.parametrize(
    "params, error, message",
    [([65536], OverflowError, "value too large to convert to uint16_t"),
     ([1, -1], OverflowError, "can't convert negative value to uint16_t"),
     ([1.0], TypeError, None), ([True], TypeError, None), (["1"], TypeError, None),
     (None, TypeError, "params must be a list of integers, not NoneType"), ((1, 2), TypeError, None),
     (b"\x01\x00", TypeError, None)],
)
def test_calculate_sra_crc_errors(params, error, message):
    with pytest.raises(error) as info:
        calculate_sra_crc(params)
    if message:
        assert str(info.value) == message
