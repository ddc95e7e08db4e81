"""The handler on an EtherCAT process image from Python: the frame lengths, the
buffers the two calls take (in place, at an offset), their refusals, and the
cyclic part of examples/pysoem_host.py against the software slave behind an
in-memory process image."""

import array
import importlib.util
import pathlib

import pytest

from kestrel import (DataType, Dictionary, DictionaryItemInput, DictionaryItemOutput,
                     MasterHandler, SlaveSimulator, StateData, StateReset)

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "pysoem_host.py"


def load_example():
    spec = importlib.util.spec_from_file_location("pysoem_host", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def handler():
    out = DictionaryItemOutput(1, "out", DataType.UINT16)
    inp = DictionaryItemInput(2, "in", DataType.UINT16, fail_safe_value=0)
    h = MasterHandler(Dictionary([out, inp]), 5, 7, 10.0)
    h.master.dictionary_map.add(out)
    h.slave.dictionary_map.add(inp)
    yield h
    h.stop()
    h.delete()


def test_lengths_follow_the_maps_before_start(handler):
    assert (handler.request_length, handler.reply_length) == (7, 7)
    handler.slave.dictionary_map.add_padding(16)
    assert handler.reply_length == 11
    handler.slave.dictionary_map.add_padding(8)  # 5 bytes: start() would refuse
    assert handler.reply_length == 0


@pytest.mark.parametrize("make_area", [
    bytearray,
    lambda n: memoryview(bytearray(n)),
    lambda n: array.array("B", bytes(n)),
], ids=["bytearray", "memoryview", "array"])
def test_request_written_in_place_and_reply_read_at_offset(handler, make_area):
    handler.start()
    area = make_area(20)
    view = memoryview(area).cast("B")
    view[:] = b"\xee" * 20
    assert handler.write_request_into(area, 9) == 7
    assert bytes(view[9:16]) == handler.get_request()
    assert bytes(view[:9]) + bytes(view[16:]) == b"\xee" * 13  # nothing around it touched

    # A slice of a larger image: written through to the image itself.
    image = bytearray(30)
    handler.write_request_into(memoryview(image)[10:20], 3)
    assert image[13:20] == handler.get_request()

    slave = SlaveSimulator(5, input_size=2, output_size=2)
    reply = slave.step(handler.get_request())
    before = handler.get_request()
    handler.set_reply_from(b"\x00" * 4 + reply + b"\xff", 4)  # one byte past the frame: not read
    assert handler.get_request() != before  # the reply was taken: a new request follows
    assert slave.step(handler.get_request())  # and the slave accepts it


@pytest.mark.parametrize("area_type", [bytes, bytearray, memoryview, lambda b: array.array("B", b)],
                         ids=["bytes", "bytearray", "memoryview", "array"])
def test_a_whole_connection_through_an_image(handler, area_type):
    handler.start()
    slave = SlaveSimulator(5, input_size=2, output_size=2, seed=3)
    image_out, image_in = bytearray(16), bytearray(16)
    for _ in range(8):
        handler.write_request_into(image_out, 6)
        image_in[1:8] = slave.step(bytes(image_out[6:13]))
        handler.set_reply_from(area_type(bytes(image_in)), 1)
    assert handler.state is StateData


@pytest.mark.parametrize("size, offset", [(0, 0), (6, 0), (10, 4), (10, 11), (10, 2**62)])
def test_an_area_too_small_is_refused_and_nothing_changes(handler, size, offset):
    handler.start()
    request = handler.get_request()
    area = bytearray(b"\xee" * size)
    with pytest.raises(ValueError, match=rf"^The process image area is too small: the request needs 7 bytes "
                                         rf"from offset {offset}, the area holds {size} bytes$"):
        handler.write_request_into(area, offset)
    with pytest.raises(ValueError, match="the reply needs 7 bytes"):
        handler.set_reply_from(bytes(size), offset)
    assert area == b"\xee" * size
    assert handler.get_request() == request and handler.state is StateReset


@pytest.mark.parametrize("call, area, offset, error, message", [
    ("write_request_into", bytes(10), 0, TypeError, "writable bytes-like object"),
    ("write_request_into", memoryview(bytes(10)), 0, TypeError, "writable bytes-like object"),
    ("write_request_into", "0123456789", 0, TypeError, "not str"),
    ("write_request_into", bytearray(10), -1, OverflowError, "can't convert negative value to size_t"),
    ("write_request_into", bytearray(10), 1.0, TypeError, "an integer is required"),
    ("set_reply_from", bytes(10), 2**64, OverflowError, "value too large to convert to size_t"),
    ("set_reply_from", [0] * 10, 0, TypeError, "not list"),
])
def test_arguments_are_checked(handler, call, area, offset, error, message):
    with pytest.raises(error, match=message):
        getattr(handler, call)(area, offset)


# --- the cyclic part of the pysoem example, behind an in-memory process image ---

class FakeSlave:
    """What the example uses of a pysoem slave: `input` gives a copy of the
    input area, assigning `output` copies into the IO map."""

    def __init__(self, in_bytes, out_bytes):
        self._inputs = bytearray(in_bytes)
        self._outputs = bytearray(out_bytes)

    @property
    def input(self):
        return bytes(self._inputs)

    @property
    def output(self):
        return bytes(self._outputs)

    @output.setter
    def output(self, data):
        if not isinstance(data, bytes):  # as pysoem's setter
            raise TypeError(f"Argument 'value' has incorrect type (expected bytes, got {type(data).__name__})")
        assert len(data) == len(self._outputs)
        self._outputs[:] = data


class FakeMaster:
    """A bus with one safety slave (the software slave) whose frames sit at the
    given offsets, and a second device whose bytes must never change."""

    expected_wkc = 3

    def __init__(self, sim, request_offset, reply_offset, frame_bytes):
        self.slaves = [FakeSlave(4, 4), FakeSlave(24, 20)]
        self.slaves[0]._inputs[:] = b"\x11\x22\x33\x44"
        self.sim, self.req, self.rep, self.n = sim, request_offset, reply_offset, frame_bytes
        self.lost = 0  # cycles to lose on the wire
        self.sent = None

    def send_processdata(self):
        self.sent = bytes(self.slaves[1]._outputs[self.req:self.req + self.n])

    def receive_processdata(self, timeout_us):
        if self.lost:
            self.lost -= 1
            return 0
        reply = self.sim.step(self.sent)
        self.slaves[1]._inputs[self.rep:self.rep + len(reply)] = reply
        return self.expected_wkc


@pytest.fixture
def example():
    return load_example()


def test_example_host_loop_reaches_data_and_exchanges_safe_data(example):
    lines = []
    handler = example.make_connection(5, 7, 1.0, log=lines.append)
    sim = SlaveSimulator(5, input_size=2, output_size=2, seed=1)
    master = FakeMaster(sim, request_offset=5, reply_offset=11, frame_bytes=handler.request_length)
    example.check_layout(master.slaves[1], handler, 5, 11)
    handler.start()

    def application(h):
        if h.state is StateData:
            h.set_fail_safe(False)
            h.dictionary.set("STO_enable", True)
            h.dictionary.set("speed_limit", 120)
            sim.process_data = True
            sim.inputs = bytes([0, 42])

    try:
        example.run_cycles(master, 1, handler, request_offset=5, reply_offset=11, cycles=12,
                           cycle_s=0, on_cycle=application)
        assert handler.state is StateData
        assert sim.outputs == bytes([1, 120])
        assert handler.dictionary.get("STO_active") is False and handler.dictionary.get("position") == 42
        assert lines == ["FSoE state: StateSession", "FSoE state: StateConnection",
                         "FSoE state: StateParameter", "FSoE state: StateData"]

        # Lost bus frames hand nothing over: no fault, the connection stays.
        master.lost = 3
        example.run_cycles(master, 1, handler, request_offset=5, reply_offset=11, cycles=5, cycle_s=0)
        assert handler.state is StateData and len(lines) == 4

        # A corrupted reply in the image: reported, and the loop reconnects.
        sim.inject_bit_flip(12)
        example.run_cycles(master, 1, handler, request_offset=5, reply_offset=11, cycles=14,
                           cycle_s=0, on_cycle=application)
        assert lines[4] == "FSoE fault: DATA_FAIL1: Invalid slave CRC"
        assert handler.state is StateData
        assert master.slaves[0].input == b"\x11\x22\x33\x44" and master.slaves[0].output == bytes(4)
    finally:
        handler.stop()
        handler.delete()


def test_example_refuses_areas_too_small_for_the_frames(example):
    handler = example.make_connection(5, 7, 1.0, log=lambda line: None)
    try:
        with pytest.raises(SystemExit, match="output .request. area holds 10 bytes; the FSoE frame needs 7 "
                                             "bytes from offset 4"):
            example.check_layout(FakeSlave(20, 10), handler, 4, 0)
        with pytest.raises(SystemExit, match="input .reply. area holds 6 bytes"):
            example.check_layout(FakeSlave(6, 10), handler, 0, 0)
        example.check_layout(FakeSlave(7, 7), handler, 0, 0)
    finally:
        handler.delete()
