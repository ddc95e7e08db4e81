"""A small host written against the type stubs (kestrel/kestrel.pyi).

test_stubs.py checks it with ``mypy --strict`` and also runs it: every
``assert_type`` states the type the stubs give, and every call marked
``type: ignore[...]`` is one the stubs refuse *and* the module refuses at run
time (with --strict an ignore that is no longer needed is itself an error).
"""

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Literal, assert_type

from kestrel import (
    ApplicationParameter,
    DataType,
    Dictionary,
    DictionaryItem,
    DictionaryItemInput,
    DictionaryItemInputOutput,
    DictionaryItemOutput,
    DictionaryMap,
    DictionaryMappedItem,
    DynamicMappableItem,
    FSOECommand,
    FSOEDynamicMap,
    FSOEFrame,
    SlaveSimulator,
    Watchdog,
    align_bits,
    calculate_sra_crc,
    div_ceil,
)

Value = float | int | bool


@contextmanager
def refused() -> Iterator[None]:
    """The block must fail with TypeError."""
    try:
        yield
    except TypeError:
        return
    raise AssertionError("accepted an argument of the wrong type")


# --- frames (README: a host, in short) ------------------------------------------
reply = FSOEFrame.frame_from_array(bytes.fromhex("3611223D393344226E0302"))
assert_type(reply, FSOEFrame)
reply.control.sequence_number = 5
reply.control.crc0 = 0x1234
assert_type(reply.control.command, FSOECommand)
assert reply.control.command is FSOECommand.PROCESS_DATA
assert_type(reply.check_crcs(), bool)
assert reply.check_crcs()
data = reply.get_safe_data_bytes()[: reply.safe_data_size_bytes]
assert_type(data, bytes)
assert data.hex() == "11223344"

request = FSOEFrame(7)
request.control.command = FSOECommand.FAILSAFE_DATA
request.control.connection_id = 0x0203
request.set_safe_data_bytes(b"\x00\x00")
request.generate_crcs_cyclic(0x393D)
wire = request.frame_to_array()
assert_type(wire, bytes)
assert_type(request.safe_data[0], int)
assert_type(list(request.crcs), list[int])
assert sum(request.safe_data) == 0 and len(list(request.crcs)) == 8
assert_type(FSOECommand.has_value(0x36), bool)


class TaggedFrame(FSOEFrame):
    tag = "captured"


tagged = TaggedFrame.frame_from_array(wire)
assert_type(tagged, TaggedFrame)
assert tagged.tag == "captured"

with refused():
    FSOEFrame("7")  # type: ignore[arg-type]
with refused():
    request.control.command = 0x36  # type: ignore[assignment]
with refused():
    del request.safe_data[0]  # type: ignore[attr-defined]

# --- data types -------------------------------------------------------------------
assert_type(DataType.UINT16.serialize_value(1500), int)
assert_type(DataType.INT16.serialize_bytes(-3), bytes)
assert_type(DataType.FLOAT.unserialize_value(0x3FC00000), Value)
assert DataType.FLOAT.unserialize_value(0x3FC00000) == 1.5
assert_type(DataType.BOOL.get_initial_value(), Value)
assert_type(DictionaryItem.DataTypes.UINT8, Literal[DataType.UINT8])
assert_type(align_bits(9, 8) + div_ceil(7, 2), int)
with refused():
    DataType.UINT8.unserialize_value(1.0)  # type: ignore[arg-type]
with refused():
    DataType.FLOAT.serialize_value("1.5")  # type: ignore[arg-type]

# --- dictionary and map (README: declaring the safety data) -----------------------
enable = DictionaryItemOutput(1, "STO_enable", DataType.BOOL)
speed = DictionaryItemOutput(2, "speed_limit", DataType.UINT16)
sto = DictionaryItemInput(3, "STO_active", DataType.BOOL, fail_safe_value=True)
mode = DictionaryItemInputOutput(4, "mode", DataType.UINT8, fail_safe_input_value=0)
outputs_only = [enable, speed]  # a list of one item kind is accepted too
assert len(Dictionary(outputs_only).key_map) == 2
dictionary = Dictionary([enable, speed, sto, mode])
assert_type(dictionary.name_map, dict[str, DictionaryItem])
assert_type(dictionary.key_map[3], DictionaryItem)

changes: list[Value] = []
on_change: Callable[[], None] = lambda: changes.append(sto.get())
sto.subscribe_changed(on_change)
mode.subscribe_input_changed(lambda: len(changes))  # the result is ignored
sto.unsubscribe_changed(on_change)
assert_type(sto.fail_safe_value, Value)
assert_type(mode.value_output, Value)

outputs = DictionaryMap(dictionary, {DictionaryItemOutput, DictionaryItemInputOutput})
assert_type(outputs.item_types_accepted, set[type[DictionaryItem]])
assert_type(outputs.add(enable), DictionaryMappedItem)
padding = outputs.add_padding(7)
outputs.add(speed)
outputs.insert_in_best_position(mode)
outputs.complete_with_padding()
assert_type(outputs.get_text_representation(item_space=16), str)
assert_type(outputs[0], DictionaryMappedItem)
assert_type(outputs[1:], list[DictionaryMappedItem])
assert_type(padding.item, DictionaryItem | None)
assert padding.item is None and outputs[0].item is enable
assert_type(outputs[0].position_byte_bits(), tuple[int, int])
assert [entry.bits for entry in outputs][:1] == [1]
assert_type(outputs.unmapped_dictionary_items(), list[DictionaryItem])
dictionary.set("speed_limit", 1500)
assert_type(dictionary.get("speed_limit"), Value)
assert dictionary.get("speed_limit") == 1500

with refused():
    DictionaryItemOutput(1.0, "x", DataType.UINT8)  # type: ignore[arg-type]
with refused():
    DictionaryItemOutput(1, "x", 3)  # type: ignore[arg-type]
with refused():
    Dictionary((enable,))  # type: ignore[arg-type]
with refused():
    sto.subscribe_changed(5)  # type: ignore[arg-type]
with refused():
    enable.set(None)  # type: ignore[arg-type]
with refused():
    outputs.insert_in_best_position(None)  # type: ignore[arg-type]

# --- set-up data (README: application parameters and the SRA CRC) -----------------
speed_parameter = ApplicationParameter("speed", 1500, n_bytes=2)
offset = ApplicationParameter("offset", -3, data_type=DataType.INT16)
crc = calculate_sra_crc([speed_parameter.raw_value, offset.raw_value])
assert_type(crc, int)
assert_type(offset.name, str | None)
assert_type(offset.value, Value)
offset.value = -4
dynamic_map = FSOEDynamicMap()
dynamic_map.add(offset)
dynamic_map.add(DynamicMappableItem(0, DataType.UINT8))
dynamic_map.set_data_to_frame(request, 2)
assert dynamic_map.bytes_processed == 2

with refused():
    ApplicationParameter(b"speed", 1, n_bytes=1)  # type: ignore[arg-type]
with refused():
    calculate_sra_crc(None)  # type: ignore[arg-type]
with refused():
    dynamic_map.add(None)  # type: ignore[arg-type]

# --- watchdog and slave simulator (README: a host test in ten lines) --------------
watchdog = Watchdog(0.5, lambda: None)
watchdog.start()
watchdog.stop()
watchdog.join(timeout=1.0)


def verify(parameters: bytes) -> int | None:
    return None if len(parameters) == 0 else 0x80


slave = SlaveSimulator(5, input_size=2, output_size=2, manual_clock=True, verify_parameters=verify)
reset = FSOEFrame(7)
reset.control.command = FSOECommand.RESET
reset.control.sequence_number = 1
reset.set_safe_data_bytes(bytes([4, 0]))
reset.generate_crcs()
answer = slave.step(reset.frame_to_array())
assert_type(answer, bytes)
assert answer[:2] == bytes([0x2A, 0])
assert_type(slave.last_reset_received, int | None)
assert slave.last_reset_received == 4 and slave.state == SlaveSimulator.State.RESET
assert_type(slave.counters, dict[str, int])
assert_type(slave.resets_sent_by_code, dict[int, int])
slave.inputs = b"\x01\x02"
slave.inject_wrong_command(FSOECommand.SESSION)
slave.clear_faults()

with refused():
    SlaveSimulator(5, manual_clock=1)  # type: ignore[arg-type]
with refused():
    slave.inject_wrong_command(0x36)  # type: ignore[arg-type]
with refused():
    slave.step("36")  # type: ignore[arg-type]
