import enum
import math
import struct
import typing

import pytest

from kestrel import kestrel as k
from kestrel.kestrel import DataType

INTEGER_TYPES = [DataType.UINT8, DataType.INT8, DataType.UINT16, DataType.INT16, DataType.UINT32, DataType.INT32]

TABLE = {
    # member: (value, bits, bytes, is_integer, is_signed, min, max, initial)
    DataType.BOOL: (1, 1, 1, False, False, None, None, False),
    DataType.FLOAT: (2, 32, 4, False, False, None, None, 0.0),
    DataType.UINT8: (3, 8, 1, True, False, 0, 255, 0),
    DataType.INT8: (4, 8, 1, True, True, -128, 127, 0),
    DataType.UINT16: (5, 16, 2, True, False, 0, 65535, 0),
    DataType.INT16: (6, 16, 2, True, True, -32768, 32767, 0),
    DataType.UINT32: (7, 32, 4, True, False, 0, 4294967295, 0),
    DataType.INT32: (8, 32, 4, True, True, -2147483648, 2147483647, 0),
}


def test_enum_members_and_properties():
    assert issubclass(DataType, enum.Enum) and not issubclass(DataType, int)
    assert list(DataType) == list(TABLE)
    assert DataType.UINT8 != 3
    for member, (value, bits, nbytes, is_int, signed, lo, hi, initial) in TABLE.items():
        assert member.value == value
        assert (member.bits, member.bytes, member.is_integer, member.is_signed) == (bits, nbytes, is_int, signed)
        if lo is None:
            with pytest.raises(NotImplementedError):
                member.min_value
            with pytest.raises(NotImplementedError):
                member.max_value
        else:
            assert (member.min_value, member.max_value) == (lo, hi)
        got = member.get_initial_value()
        assert got == initial and type(got) is type(initial)


@pytest.mark.parametrize("member", [DataType.UINT8, DataType.INT8, DataType.UINT16, DataType.INT16])
def test_round_trip_every_value(member):
    for v in range(member.min_value, member.max_value + 1):
        raw = member.serialize_value(v)
        assert 0 <= raw < 2**member.bits
        assert member.unserialize_value(raw) == v


@pytest.mark.parametrize("member", [DataType.UINT32, DataType.INT32])
def test_round_trip_32_bit_edges(member):
    lo, hi = member.min_value, member.max_value
    for v in (lo, lo + 1, -1 if lo else 1, 0, 1, hi - 1, hi):
        assert member.unserialize_value(member.serialize_value(v)) == v


def test_integer_serialisation_rules():
    assert DataType.INT8.serialize_value(-128) == 128
    assert DataType.INT8.serialize_value(127) == 127
    assert DataType.INT8.serialize_value(-1) == 255
    assert DataType.INT16.serialize_value(-32768) == 32768
    assert DataType.UINT32.serialize_value(4294967295) == 4294967295
    for member, bad in ((DataType.INT8, 128), (DataType.INT8, -129), (DataType.UINT32, -1),
                        (DataType.UINT32, 2**32), (DataType.UINT8, 2**70), (DataType.INT32, -(2**70))):
        with pytest.raises(ValueError) as info:
            member.serialize_value(bad)
        assert info.value.args == ()
    for bad in (True, 3.0, math.nan):
        with pytest.raises(TypeError):
            DataType.UINT8.serialize_value(bad)
    with pytest.raises(ValueError):
        DataType.UINT8.serialize_value(256.0)  # range is checked before the kind
    with pytest.raises(TypeError):
        DataType.UINT8.serialize_value("1")


def test_bool_and_float_serialisation():
    for v, raw in ((True, 1), (1, 1), (1.0, 1), (False, 0), (0, 0), (0.0, 0)):
        assert DataType.BOOL.serialize_value(v) == raw
    with pytest.raises(ValueError, match="^Invalid value for BOOL type$"):
        DataType.BOOL.serialize_value(2)
    assert DataType.BOOL.unserialize_value(0) is False
    assert DataType.BOOL.unserialize_value(5) is True
    assert DataType.FLOAT.serialize_bytes(1.0) == b"\x00\x00\x80\x3f"
    assert DataType.FLOAT.serialize_bytes(-2.0) == b"\x00\x00\x00\xc0"
    assert DataType.FLOAT.serialize_value(1) == 0x3F800000
    for v in (0.0, -0.0, 1.5, -(2.0**-126), 3.4028234663852886e38, math.inf):
        raw = DataType.FLOAT.serialize_value(v)
        assert raw == struct.unpack("<I", struct.pack("<f", v))[0]
        back = DataType.FLOAT.unserialize_value(raw)
        assert type(back) is float and back == v
    assert math.isnan(DataType.FLOAT.unserialize_value(DataType.FLOAT.serialize_value(math.nan)))
    assert DataType.FLOAT.serialize_value(0.1) == struct.unpack("<I", struct.pack("<f", 0.1))[0]
    with pytest.raises(OverflowError):
        DataType.FLOAT.serialize_value(1e39)
    for raw in (-1, 2**32, 2**80):
        with pytest.raises(OverflowError):
            DataType.FLOAT.unserialize_value(raw)


def test_serialize_bytes_width_and_order():
    assert DataType.INT16.serialize_bytes(-2) == b"\xfe\xff"
    assert DataType.BOOL.serialize_bytes(True) == b"\x01"
    assert DataType.UINT32.serialize_bytes(0x01020304) == b"\x04\x03\x02\x01"
    assert DataType.INT8.serialize_bytes(-1) == b"\xff"


def test_unserialize_rules_beyond_the_width():
    assert DataType.UINT8.unserialize_value(1000) == 1000  # unsigned: unchanged, no range check
    assert DataType.UINT8.unserialize_value(2**80) == 2**80
    assert DataType.INT8.unserialize_value(255) == -1
    assert DataType.INT16.unserialize_value(32768) == -32768
    assert DataType.INT8.unserialize_value(2**80 + 0x80) == 2**80 + 0x80 - 256
    for bad in (1.0, True, "1", None):
        with pytest.raises(TypeError):
            DataType.UINT8.unserialize_value(bad)


def test_div_ceil_and_align_bits():
    assert k.div_ceil(7, 2) == 4
    assert k.div_ceil(-1, 2) == 0
    assert k.div_ceil(8, 2) == 4
    with pytest.raises(OverflowError, match="^can't convert negative value to uint16_t$"):
        k.div_ceil(-3, 2)
    with pytest.raises(OverflowError, match="^value too large to convert to uint16_t$"):
        k.div_ceil(2**17, 1)
    with pytest.raises(ZeroDivisionError):
        k.div_ceil(1, 0)
    assert (k.align_bits(9, 8), k.align_bits(16, 8), k.align_bits(0, 8), k.align_bits(1, 1)) == (16, 16, 0, 1)
    assert k.align_bits(65535, 65534) == 131068
    with pytest.raises(OverflowError, match="^value too large to convert to uint16_t$"):
        k.align_bits(65536, 8)
    with pytest.raises(OverflowError, match="^can't convert negative value to uint16_t$"):
        k.align_bits(8, -1)
    with pytest.raises(TypeError):
        k.align_bits(8.0, 8)
    with pytest.raises(ZeroDivisionError):
        k.align_bits(8, 0)


def test_value_types():
    assert typing.get_args(k.DICTIONARY_VALUE_TYPES) == (float, int, bool)


@pytest.mark.parametrize("a,b,expected", [
    (-(2**63), 1, "can't convert negative value to uint16_t"),   # once a hardware trap
    (-(2**63), -1, "value too large to convert to uint16_t"),
    (2**63 - 1, -(2**63), 0),
    (-7, -2, 4),
    (7, -2, "can't convert negative value to uint16_t"),
    (2**70, 2**70, 1),
    (-(2**70), 2**80, 0),
    (2**70, 1, "value too large to convert to uint16_t"),
    (2**70, 0, ZeroDivisionError),
])
def test_div_ceil_over_the_whole_integer_range(a, b, expected):
    if expected is ZeroDivisionError:
        with pytest.raises(ZeroDivisionError):
            k.div_ceil(a, b)
    elif isinstance(expected, str):
        with pytest.raises(OverflowError, match=f"^{expected}$"):
            k.div_ceil(a, b)
    else:
        assert k.div_ceil(a, b) == expected == -(a // -b)


def test_integers_beyond_64_bits_follow_each_type():
    assert DataType.FLOAT.serialize_value(2**70) == struct.unpack("<I", struct.pack("<f", 2**70))[0]
    assert DataType.FLOAT.serialize_bytes(-(2**70)) == struct.pack("<f", -(2**70))
    with pytest.raises(OverflowError, match="^float too large to pack with f format$"):
        DataType.FLOAT.serialize_value(10**40)
    with pytest.raises(OverflowError, match="^int too large to convert to float$"):
        DataType.FLOAT.serialize_value(10**400)
    with pytest.raises(ValueError, match="^Invalid value for BOOL type$"):
        DataType.BOOL.serialize_value(2**70)


@pytest.mark.parametrize("value", ["1", None, [1], 0.5, math.nan, -1])
def test_bool_refuses_anything_but_true_false_one_zero(value):
    with pytest.raises(ValueError, match="^Invalid value for BOOL type$"):
        DataType.BOOL.serialize_value(value)


def test_numbers_of_other_kinds():
    from decimal import Decimal
    from fractions import Fraction

    assert DataType.BOOL.serialize_value(Fraction(1)) == 1 and DataType.BOOL.serialize_bytes(Decimal(0)) == b"\x00"
    for v in (Fraction(1, 3), Decimal("1.5")):
        assert DataType.FLOAT.serialize_bytes(v) == struct.pack("<f", v)
    for member, v in ((DataType.FLOAT, "1"), (DataType.FLOAT, None), (DataType.UINT8, None), (DataType.UINT8, Fraction(1))):
        with pytest.raises(TypeError):
            member.serialize_value(v)
