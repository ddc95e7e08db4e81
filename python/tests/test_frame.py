import copy
import pickle

import pytest

from kestrel import kestrel as k
from kestrel.kestrel import FSOECommand, FSOEFrame

EXAMPLE = bytes.fromhex("3611223D393344226E0302")
EXAMPLE_1BYTE = bytes.fromhex("36110BA80302")
VALID_LENGTHS = {0: 3, 1: 6, 2: 7, 4: 11, 6: 15, 8: 19, 10: 23, 12: 27, 14: 31, 16: 35}


def test_module_constants():
    assert (k.BYTES_PER_WORD, k.MAX_DATA_WORDS, k.MAX_DATA_BYTES, k.MAX_CRC_WORDS) == (2, 8, 16, 8)


def test_command_is_plain_enum():
    assert [(c.name, c.value) for c in FSOECommand] == [
        ("PROCESS_DATA", 0x36), ("RESET", 0x2A), ("SESSION", 0x4E),
        ("CONNECTION", 0x64), ("PARAMETER", 0x52), ("FAILSAFE_DATA", 0x08),
    ]
    assert FSOECommand.PROCESS_DATA != 54
    assert FSOECommand(0x2A) is FSOECommand.RESET
    assert FSOECommand.has_value(54) and not FSOECommand.has_value(0)
    assert not FSOECommand.has_value(2**80)
    with pytest.raises(TypeError):
        FSOECommand.has_value(54.0)


def test_decode_example_and_check():
    f = FSOEFrame.frame_from_array(EXAMPLE)
    c = f.control
    assert c.command is FSOECommand.PROCESS_DATA
    assert c.connection_id == 0x0203
    assert list(f.safe_data)[:2] == [0x2211, 0x4433]
    assert list(f.crcs)[:2] == [0x393D, 0x6E22]
    assert f.safe_data_size_bytes == 4
    assert not f.check_crcs()  # sequence number 0, seed 0
    c.sequence_number, c.crc0 = 5, 0x1234
    assert f.check_crcs()
    assert f.frame_to_array() == EXAMPLE
    assert f.calc_crc0() == 0x393D


def test_encode_built_frame_matches_wire_examples():
    f = FSOEFrame(6)
    f.control.command = FSOECommand.PROCESS_DATA
    f.control.connection_id, f.control.sequence_number, f.control.crc0 = 0x0203, 5, 0x1234
    f.set_safe_data_bytes(b"\x11")
    f.generate_crcs()
    assert f.frame_to_array() == EXAMPLE_1BYTE
    assert FSOEFrame().frame_to_array() == b"\x00\x00\x00"


@pytest.mark.parametrize("size,length", VALID_LENGTHS.items())
def test_round_trip_every_size(size, length):
    f = FSOEFrame(length)
    assert f.safe_data_size_bytes == size
    f.control.command = FSOECommand.SESSION
    f.control.connection_id = 0xBEEF
    f.set_safe_data_bytes(bytes(range(1, size + 1)))
    f.generate_crcs()
    wire = f.frame_to_array()
    assert len(wire) == length
    g = FSOEFrame.frame_from_array(wire)
    assert g.frame_to_array() == wire
    assert g.get_safe_data_bytes() == f.get_safe_data_bytes()
    assert list(g.crcs) == list(f.crcs)


def test_decode_keeps_receiver_bookkeeping_and_replaces_the_rest():
    f = FSOEFrame(35)
    f.control.sequence_number, f.control.crc0 = 77, 0x4242
    f.set_safe_data_bytes(bytes(16))
    f._frame_from_array(EXAMPLE)
    assert (f.control.sequence_number, f.control.crc0) == (77, 0x4242)
    assert f.safe_data_size_bytes == 4
    assert f.get_safe_data_bytes() == bytes.fromhex("11223344") + bytes(12)


@pytest.mark.parametrize("length,size", [(3, 0), (4, 0), (6, 1), (7, 2), (8, 2), (35, 16)])
def test_decode_lengths(length, size):
    assert FSOEFrame.frame_from_array(bytes(length)).safe_data_size_bytes == size


# 5 bytes would be a 6-byte frame missing its last byte. 131070 and more are
# 65535+ words: still ValueError, not the word count's OverflowError.
@pytest.mark.parametrize("length", [0, 1, 2, 5, 9, 10, 13, 14, 33, 34, 36, 37, 100, 5000, 131070, 131072, 200_000])
def test_decode_refuses_lengths_outside_the_format(length):
    f = FSOEFrame.frame_from_array(EXAMPLE)
    before = (f.frame_to_array(), f.safe_data_size_bytes)
    with pytest.raises(ValueError, match="Frame"):
        f._frame_from_array(bytes(length))
    assert (f.frame_to_array(), f.safe_data_size_bytes) == before
    with pytest.raises(ValueError):
        FSOEFrame.frame_from_array(bytes(length))


def test_constructor_lengths():
    assert FSOEFrame(7).safe_data_size_bytes == 2
    assert FSOEFrame(6).safe_data_size_bytes == 1
    assert FSOEFrame(8).safe_data_size_bytes == 2
    with pytest.raises(ValueError, match="exceeds the maximum of 35 bytes"):
        FSOEFrame(36)
    with pytest.raises(ValueError, match="odd safe data size of 3"):
        FSOEFrame(9)
    with pytest.raises(OverflowError, match="can't convert negative value to uint16_t"):
        FSOEFrame(-3)
    with pytest.raises(OverflowError, match="value too large to convert to uint16_t"):
        FSOEFrame(2**20)
    with pytest.raises(TypeError):
        FSOEFrame(7.0)


def test_safe_data_size_property():
    f = FSOEFrame(11)
    f.set_safe_data_bytes(b"\x01\x02\x03\x04")
    f.generate_crcs()
    crcs = list(f.crcs)
    f.safe_data_size_bytes = 16
    assert f.safe_data_size_bytes == 16
    assert list(f.crcs) == crcs and f.get_safe_data_bytes()[:4] == b"\x01\x02\x03\x04"
    with pytest.raises(ValueError, match="^Frame structure cannot handle more than 16 bytes$"):
        f.safe_data_size_bytes = 17
    with pytest.raises(ValueError, match="even number"):
        f.safe_data_size_bytes = 5
    with pytest.raises(OverflowError):
        f.safe_data_size_bytes = -1
    assert f.safe_data_size_bytes == 16


def test_safe_data_bytes():
    f = FSOEFrame(35)
    f.set_safe_data_bytes(bytes(range(100, 116)))
    f.set_safe_data_bytes(b"\x01\x02\x03")
    assert list(f.safe_data) == [0x0201, 0x0003, 0, 0, 0, 0, 0, 0]
    assert f.get_safe_data_bytes() == b"\x01\x02\x03" + bytes(13)
    assert f.safe_data_size_bytes == 16  # unchanged
    with pytest.raises(ValueError, match="^Frame structure cannot handle more than 16 bytes$"):
        f.set_safe_data_bytes(bytes(17))
    assert f.get_safe_data_bytes()[:3] == b"\x01\x02\x03"
    with pytest.raises(TypeError):
        f.set_safe_data_bytes(bytearray(2))


def test_views_are_bound_to_their_frame():
    f = FSOEFrame(11)
    assert f.control is f.control and f.safe_data is f.safe_data and f.crcs is f.crcs
    data = f.safe_data
    del f  # the view keeps its frame alive
    data[7] = 0xFFFF
    assert data[7] == 0xFFFF and len(data) == 8
    with pytest.raises(IndexError):
        data[8]
    with pytest.raises(IndexError):
        data[8] = 1
    with pytest.raises(OverflowError, match="value too large to convert to uint16_t"):
        data[0] = 0x10000
    with pytest.raises(OverflowError, match="can't convert negative value to uint16_t"):
        data[-1]
    for kind in (TypeError, NotImplementedError):
        with pytest.raises(kind, match="doesn't support item deletion"):
            del data[0]
    data.clear()
    assert list(data) == [0] * 8
    assert list(k.U16Array()) == []


def test_control_fields():
    f = FSOEFrame(7)
    c = f.control
    for name in ("connection_id", "sequence_number", "crc0"):
        setattr(c, name, 65535)
        with pytest.raises(OverflowError):
            setattr(c, name, 65536)
        with pytest.raises(OverflowError):
            setattr(c, name, -1)
        with pytest.raises(TypeError):
            setattr(c, name, True)
        assert getattr(c, name) == 65535
    c.sequence_number = 65534
    c.increment_sequence_number()
    assert c.sequence_number == 65535
    c.increment_sequence_number()
    assert c.sequence_number == 1
    assert not c.command_is_valid()
    with pytest.raises(ValueError, match="0 is not a valid FSOECommand"):
        c.command
    with pytest.raises(TypeError):
        c.command = 0x36
    c.command = FSOECommand.RESET
    assert c.command_is_valid() and c.command is FSOECommand.RESET


def _frame(size, seq=7, crc0=0x1111):
    f = FSOEFrame(VALID_LENGTHS[size])
    f.control.command = FSOECommand.PROCESS_DATA
    f.control.connection_id = 0x0203
    f.control.sequence_number, f.control.crc0 = seq, crc0
    f.set_safe_data_bytes(bytes(range(0x10, 0x10 + size)))
    return f


@pytest.mark.parametrize("size", [1, 2, 16])
def test_cyclic_generation_skips_a_repeated_crc0(size):
    f = _frame(size)
    f.generate_crcs()
    fresh = f.crcs[0]
    f.generate_crcs_cyclic((fresh + 1) & 0xFFFF)
    assert f.control.sequence_number == 7 and f.crcs[0] == fresh
    f.generate_crcs_cyclic(fresh)
    assert f.control.sequence_number == 8 and f.crcs[0] != fresh
    # The receiver holding the same expected number lands on the same one.
    wire = f.frame_to_array()
    r = FSOEFrame.frame_from_array(wire)
    r.control.sequence_number, r.control.crc0 = 7, 0x1111
    assert r.check_crcs_cyclic(fresh)
    assert r.control.sequence_number == 8
    r.control.sequence_number = 7
    assert not r.check_crcs_cyclic((fresh + 1) & 0xFFFF)
    assert r.control.sequence_number == 7


def test_cyclic_generation_wraps_sequence_number_and_ends_without_safe_data():
    f = _frame(2, seq=65535)
    f.generate_crcs()
    f.generate_crcs_cyclic(f.crcs[0])
    assert f.control.sequence_number == 1
    empty = FSOEFrame(3)
    empty.generate_crcs_cyclic(0)  # no CRC to change: one step, no endless loop
    assert empty.control.sequence_number == 1


def test_corruption_is_detected():
    f = _frame(16)
    f.generate_crcs()
    wire = bytearray(f.frame_to_array())
    for bit in range(len(wire) * 8):
        bad = bytearray(wire)
        bad[bit // 8] ^= 1 << (bit % 8)
        g = FSOEFrame.frame_from_array(bytes(bad))
        g.control.sequence_number, g.control.crc0 = 7, 0x1111
        assert not g.check_crcs(), bit  # command and connection id enter the CRCs too


def test_frames_cannot_be_serialised():
    f = FSOEFrame(7)
    for obj in (f, f.control, f.safe_data):
        with pytest.raises(TypeError):
            pickle.dumps(obj)
        with pytest.raises(TypeError):
            copy.deepcopy(obj)


def test_bytes_arguments_must_be_bytes():
    for bad in (bytearray(EXAMPLE), memoryview(EXAMPLE), "36", None):
        with pytest.raises(TypeError):
            FSOEFrame.frame_from_array(bad)


@pytest.mark.parametrize("length,message", [(2**64, "value too large to convert to uint16_t"),
                                            (-(2**64), "can't convert negative value to uint16_t")])
def test_constructor_lengths_beyond_64_bits(length, message):
    with pytest.raises(OverflowError, match=f"^{message}$"):
        FSOEFrame(length)


def test_safe_data_size_beyond_64_bits():
    f = FSOEFrame(7)
    with pytest.raises(ValueError, match="^Frame structure cannot handle more than 16 bytes$"):
        f.safe_data_size_bytes = 2**64
    with pytest.raises(OverflowError, match="^can't convert negative value to uint16_t$"):
        f.safe_data_size_bytes = -(2**64)
    assert f.safe_data_size_bytes == 2


def test_frame_from_array_is_a_class_method():
    class Tagged(FSOEFrame):
        pass

    f = Tagged.frame_from_array(EXAMPLE)
    assert type(f) is Tagged and f.frame_to_array() == EXAMPLE
    assert type(FSOEFrame(7).frame_from_array(EXAMPLE)) is FSOEFrame
    with pytest.raises(ValueError):
        Tagged.frame_from_array(bytes(9))
