"""
FSoE master: safety frames, data model, connection set-up and cycle supervision
"""

from collections.abc import Iterator
import enum
from typing import Any, TypeAlias, Union


class FSOEMasterException(Exception):
    """Exception for FSoE Master"""

class FSOEMasterRunningException(FSOEMasterException):
    """Exception for raised when the master is already running"""

class FSOEMasterMappingLockedException(FSOEMasterException):
    """Exception raised when trying to map an item on a locked dictionary map"""

class FSoEAlreadyMappedException(FSOEMasterException):
    """Exception raised when trying to map an item that is already mapped"""

class DataType(enum.Enum):
    """Type of dictionary item"""

    BOOL = 1

    FLOAT = 2

    UINT8 = 3

    INT8 = 4

    UINT16 = 5

    INT16 = 6

    UINT32 = 7

    INT32 = 8

    @property
    def bits(self) -> int:
        """Get number of bits necessary to represent a value with the datatype"""

    @property
    def bytes(self) -> int:
        """Get number of bytes necessary to represent a value with the datatype"""

    @property
    def is_integer(self) -> bool: ...

    @property
    def is_signed(self) -> bool: ...

    @property
    def min_value(self) -> int: ...

    @property
    def max_value(self) -> int: ...

    def get_initial_value(self) -> object:
        """Get default initial value for the data type"""

    def serialize_value(self, value: object | None) -> int:
        """Convert value to integer representation"""

    def serialize_bytes(self, value: object | None) -> bytes:
        """Convert value to bytes representation"""

    def unserialize_value(self, value: object) -> object:
        """Convert integer representation to value"""

def div_ceil(a: object, b: object) -> int:
    """Ceiling division of two integers"""

def align_bits(number: object, boundary: object) -> int:
    """Align number of bits to a boundaries."""

DICTIONARY_VALUE_TYPES: TypeAlias = Union[float, int, bool]

BYTES_PER_WORD: int = 2

MAX_DATA_WORDS: int = 8

MAX_DATA_BYTES: int = 16

MAX_CRC_WORDS: int = 8

class FSOECommand(enum.Enum):
    """FSoE frame commands"""

    PROCESS_DATA = 54

    RESET = 42

    SESSION = 78

    CONNECTION = 100

    PARAMETER = 82

    FAILSAFE_DATA = 8

    @staticmethod
    def has_value(value: object) -> bool:
        """Check whether a command has this value"""

class U16Array:
    """Bounded view of 16-bit words"""

    def __init__(self) -> None: ...

    def __getitem__(self, arg: object, /) -> int: ...

    def __setitem__(self, arg0: object, arg1: object, /) -> None: ...

    def __delitem__(self, arg: object, /) -> None: ...

    def __len__(self) -> int: ...

    def clear(self) -> None:
        """Set all words to 0"""

    @property
    def u32Length(self) -> int: ...

    def __reduce__(self) -> None: ...

    def __reduce_ex__(self, arg: object, /) -> None: ...

    def __getstate__(self) -> None: ...

class FSOEFrameControl:
    """View of the control words of a frame"""

    @property
    def command(self) -> FSOECommand: ...

    @command.setter
    def command(self, arg: object, /) -> None: ...

    def command_is_valid(self) -> bool: ...

    @property
    def connection_id(self) -> int: ...

    @connection_id.setter
    def connection_id(self, arg: object, /) -> None: ...

    @property
    def sequence_number(self) -> int: ...

    @sequence_number.setter
    def sequence_number(self, arg: object, /) -> None: ...

    @property
    def crc0(self) -> int: ...

    @crc0.setter
    def crc0(self, arg: object, /) -> None: ...

    def increment_sequence_number(self) -> None: ...

    def __reduce__(self) -> None: ...

    def __reduce_ex__(self, arg: object, /) -> None: ...

    def __getstate__(self) -> None: ...

class FSOEFrame:
    """FSoE frame"""

    def __init__(self, length: object = 0) -> None: ...

    def frame_to_array(self) -> bytes:
        """Convert frame to bytes"""

    @property
    def control(self) -> FSOEFrameControl: ...

    @property
    def safe_data(self) -> U16Array: ...

    @property
    def crcs(self) -> U16Array: ...

    @property
    def safe_data_size_bytes(self) -> int: ...

    @safe_data_size_bytes.setter
    def safe_data_size_bytes(self, arg: object, /) -> None: ...

    def set_safe_data_bytes(self, data: object) -> None:
        """Set safe data from bytes"""

    def get_safe_data_bytes(self) -> bytes:
        """Get safe data as bytes"""

    def generate_crcs(self) -> None:
        """Does not take into account crc0 matching generation."""

    def check_crcs(self) -> bool:
        """Does not take into account crc0 matching generation."""

    def calc_crc0(self) -> int: ...

    def generate_crcs_cyclic(self, last_sent_crc_0: object) -> None: ...

    def check_crcs_cyclic(self, last_sent_crc_0: object) -> bool: ...

    def __reduce__(self) -> None: ...

    def __reduce_ex__(self, arg: object, /) -> None: ...

    def __getstate__(self) -> None: ...

    @classmethod
    def frame_from_array(cls, data: object) -> FSOEFrame:
        """Convert bytes to a new FSOE Frame"""

KESTREL_LOGGING: bool = False

class DictionaryItem:
    """Safety dictionary item"""

    def __init__(self, key: object, name: object, data_type: object) -> None: ...

    @property
    def key(self) -> int: ...

    @property
    def name(self) -> str: ...

    @property
    def data_type(self) -> DataType: ...

    def set(self, value: object) -> None: ...

    def get(self) -> object: ...

    DataTypes: TypeAlias = DataType

class DictionaryItemInput(DictionaryItem):
    """Safe input item"""

    def __init__(self, key: object, name: object, data_type: object, fail_safe_value: object) -> None: ...

    @property
    def fail_safe_value(self) -> object: ...

    def subscribe_changed(self, callback: object) -> None: ...

    def unsubscribe_changed(self, callback: object) -> None: ...

class DictionaryItemOutput(DictionaryItem):
    """Safe output item"""

    def __init__(self, key: object, name: object, data_type: object) -> None: ...

class DictionaryItemInputOutput(DictionaryItem):
    """Safe item with an input side and an output side"""

    def __init__(self, key: object, name: object, data_type: object, fail_safe_input_value: object) -> None: ...

    @property
    def value_input(self) -> object: ...

    @property
    def value_output(self) -> object: ...

    @property
    def fail_safe_input_value(self) -> object: ...

    def subscribe_input_changed(self, callback: object) -> None: ...

    def unsubscribe_input_changed(self, callback: object) -> None: ...

class Dictionary:
    """Safety dictionary"""

    def __init__(self, items: object) -> None: ...

    @property
    def key_map(self) -> dict: ...

    @property
    def name_map(self) -> dict: ...

    def set(self, name: object, value: object) -> None: ...

    def get(self, name: object) -> object: ...

class DictionaryMappedItem:
    """Entry of a dictionary map"""

    def __init__(self, item: object | None, bits: object, position_bits: object) -> None: ...

    @property
    def item(self) -> DictionaryItem: ...

    @property
    def bits(self) -> int: ...

    @property
    def position_bits(self) -> int: ...

    def copy(self) -> DictionaryMappedItem: ...

    def copy_as_padding(self) -> DictionaryMappedItem: ...

    def position_byte_bits(self) -> tuple: ...

    def size_bytes_bits(self) -> tuple: ...

class DictionaryMap:
    """Map of dictionary items into the safe data of a frame"""

    def __init__(self, dictionary: Dictionary, item_types_accepted: object) -> None: ...

    @property
    def dictionary(self) -> Dictionary: ...

    @property
    def item_types_accepted(self) -> object: ...

    @property
    def locked(self) -> bool: ...

    @property
    def safety_bits(self) -> int: ...

    @property
    def safety_bytes(self) -> int: ...

    def __len__(self) -> int: ...

    def __iter__(self) -> Iterator: ...

    def __contains__(self, arg: DictionaryMappedItem, /) -> bool: ...

    def __getitem__(self, arg: object, /) -> object: ...

    def mapped_dictionary_items(self) -> list: ...

    def unmapped_dictionary_items(self) -> list: ...

    def copy(self) -> DictionaryMap: ...

    def get_text_representation(self, item_space: object = 40) -> str: ...

    def add(self, dict_item: object | None, bits: object | None = None, align_to_bits: object | None = None) -> DictionaryMappedItem: ...

    def add_by_key(self, key: object, bits: object | None = None) -> DictionaryMappedItem: ...

    def add_padding(self, bits: object) -> DictionaryMappedItem: ...

    def insert(self, index: object, dict_item: object | None, bits: object | None = None) -> DictionaryMappedItem: ...

    def insert_before(self, before_dictionary_mapped_item: DictionaryMappedItem, dict_item: object | None, bits: object | None = None) -> DictionaryMappedItem: ...

    def insert_after(self, after_dictionary_mapped_item: DictionaryMappedItem, dict_item: object | None, bits: object | None = None) -> DictionaryMappedItem: ...

    def insert_in_best_position(self, dict_item: object, align_to_bits: object = 1) -> DictionaryMappedItem: ...

    def set_bits(self, dictionary_mapped_item: DictionaryMappedItem, bits: object) -> None: ...

    def move_item_up(self, item: DictionaryMappedItem) -> bool: ...

    def move_item_down(self, item: DictionaryMappedItem) -> bool: ...

    def remove(self, item: object) -> None: ...

    def transform_to_padding(self, item: object) -> None: ...

    def merge_adjacent_paddings(self) -> None: ...

    def complete_with_padding(self) -> None: ...

    def trim_map(self) -> None: ...

    def clear(self) -> None: ...

class DynamicMappableItem:
    """Item that can be mapped to a dynamic map"""

    def __init__(self, initial_value: object | None, data_type: object | None) -> None: ...

    def set(self, value: object | None) -> None:
        """Set value of the item"""

    def get(self) -> object:
        """Get value of the item"""

    @property
    def value(self) -> object: ...

    @value.setter
    def value(self, value: object | None) -> None: ...

    @property
    def raw_value(self) -> int: ...

    @property
    def data_type(self) -> DataType: ...

    @property
    def n_bytes(self) -> int: ...

class ApplicationParameter(DynamicMappableItem):
    """
    Parameters that the master sets to the Slave during the state Parameter.
    """

    def __init__(self, name: object | None, initial_value: object | None, n_bytes: object | None = None, data_type: object | None = None) -> None: ...

    @property
    def name(self) -> object: ...

    @name.setter
    def name(self, name: object | None) -> None: ...

    def set(self, value: object | None) -> None:
        """Set value of the item"""

class FSOEDynamicMap:
    """Dynamic map of set-up data carried a few bytes per frame"""

    def __init__(self) -> None: ...

    @property
    def total_bytes(self) -> int: ...

    @property
    def bytes_processed(self) -> int: ...

    @property
    def items_processed(self) -> int: ...

    @property
    def current_processed_item(self) -> int: ...

    @property
    def current_processed_item_byte(self) -> int: ...

    def clear(self) -> None:
        """Clear the dynamic map"""

    def add(self, item: object | None) -> None:
        """Add item to the dynamic map"""

    def pending(self) -> bool:
        """Determines whether there is pending data"""

    def total_items(self) -> int:
        """Number of items on the dynamic map."""

    def pending_items(self) -> int:
        """Number of Items pending to be sent or received"""

    def set_data_to_frame(self, frame: FSOEFrame, valid_data_bytes: object) -> None:
        """
        Gets data from the variables in the map and puts it into a frame

        Other safe_data on the frame will have padding 0's
        """

    def get_data_from_frame(self, frame: FSOEFrame, valid_data_bytes: object) -> None:
        """Sets data from a received frame to the variables in the map"""

    def is_safedata_correct(self, expected_map: FSOEDynamicMap) -> bool:
        """
        Compare the data that has been processed on this dynamic map to another map
        """

def calculate_sra_crc(params: object | None) -> int:
    """
    SRA CRC Calculation

    Mechanism described on ETG5120 FSOE Protocol enhancements section 6.3
    """

class WatchdogCommand(enum.Enum):
    """Internal commands of the watchdog thread"""

    ACTIVATE = 1

    DEACTIVATE = 2

    RESET = 3

    STOP = 4

class Watchdog:
    """
    Implements a mechanism to detect if a PDU cycle is not completed within a time frame
    """

    def __init__(self, timeout_s: float, callback: object) -> None: ...

    def __del__(*args, **kwargs) -> Any: ...

    def start(self) -> None:
        """Start the watchdog thread"""

    def is_alive(self) -> bool:
        """Whether the watchdog thread accepts commands"""

    def join(self, timeout: float | None = None) -> None:
        """Wait until the watchdog thread ends"""

    def activate(self) -> None:
        """
        Activate the watchdog. After it, a timeout occurs unless reset() is called within the timeout
        """

    def deactivate(self) -> None:
        """Deactivate the watchdog. Resets are no longer required"""

    def stop(self) -> None:
        """Stop the watchdog module"""

    def reset(self) -> None:
        """Reset the watchdog to prevent a timeout"""

    def activate_and_reset(self) -> None:
        """Activate the watchdog if needed and reset it"""

    @property
    def active(self) -> bool:
        """Indicates if the watchdog is active"""

class SlaveSimulator:
    """
    Software FSoE slave driven frame by frame: reply = slave.step(request).

    It answers the master's Reset, Session, Connection, Parameter and Data frames as a safety slave does, checks the CRC chains, sequence numbers, connection id, address and parameters, and reports what it finds in its Reset frames. Faults can be injected into its next replies.
    """

    def __init__(self, slave_address: object, *, input_size: object = 2, output_size: object = 2, application_parameters: object = ..., watchdog_range_ms: object = (1, 65535), verify_parameters: object | None = None, manual_clock: object = False, seed: object | None = None) -> None:
        """
        input_size: safe-data bytes of the slave's frames; output_size: of the master's frames (1 or an even number up to 16). application_parameters: the bytes the slave expects. watchdog_range_ms: accepted watchdog times, inclusive. verify_parameters(parameters: bytes) -> None | int: None or 0 accepts, 0x80-0xFF is the reset reason, any other int INVALID_USERPARA. manual_clock: time moves only with advance(ms). seed: makes the session ids reproducible.
        """

    class State(enum.Enum):
        """State of the simulated slave"""

        RESET = 0

        SESSION = 1

        CONNECTION = 2

        PARAMETER = 3

        DATA = 4

    def step(self, request: object) -> bytes:
        """
        One bus cycle: the master's request in, the slave's frame out. Without a new frame to answer (empty request, the same request again, a silent cycle) the previous reply is returned, as a process image keeps it; b'' before the first reply.
        """

    @property
    def reply(self) -> bytes:
        """The frame the process image holds now"""

    def advance(self, ms: object) -> None:
        """Move the manual clock on by ms milliseconds"""

    @property
    def now_ms(self) -> int:
        """The slave's clock in milliseconds"""

    @property
    def state(self) -> SlaveSimulator.State: ...

    @property
    def slave_address(self) -> int: ...

    @property
    def input_size(self) -> int: ...

    @property
    def output_size(self) -> int: ...

    @property
    def last_reset_reason(self) -> object:
        """Reason of the latest reset, sent or received; None before any"""

    @property
    def last_reset_sent(self) -> object:
        """
        Reason of the latest Reset the slave sent on its own account (acknowledgements excluded)
        """

    @property
    def last_reset_received(self) -> object:
        """Reason of the latest Reset frame received from the master"""

    @property
    def slave_session_id(self) -> int: ...

    @property
    def master_session_id(self) -> object: ...

    @property
    def connection_id(self) -> object:
        """The connection id of the Connection data, once received"""

    @property
    def watchdog_ms(self) -> object:
        """The watchdog time of a complete, valid parameter set"""

    @property
    def received_parameters(self) -> bytes: ...

    @property
    def outputs(self) -> bytes:
        """
        The safe outputs last received (zeros after fail-safe data and every reset)
        """

    @property
    def inputs(self) -> bytes:
        """The safe inputs sent in process data (input_size bytes)"""

    @inputs.setter
    def inputs(self, arg: object, /) -> None: ...

    @property
    def process_data(self) -> bool:
        """
        True: answer with process data; False: with fail-safe data. Cleared by every reset.
        """

    @process_data.setter
    def process_data(self, arg: object, /) -> None: ...

    @property
    def counters(self) -> dict: ...

    @property
    def resets_sent_by_code(self) -> dict:
        """How often the slave sent each reset reason on its own account"""

    @property
    def faults_pending(self) -> bool: ...

    def inject_bit_flip(self, bit: object, count: object = 1) -> None:
        """Flip bit (8 * byte + bit of byte) of the next replies"""

    def inject_wrong_connection_id(self, connection_id: object | None = None, count: object = 1) -> None:
        """Send this connection id (default: the right one + 1) with valid CRCs"""

    def inject_wrong_echo(self, byte_index: object = 0, count: object = 1) -> None:
        """Invert one safe-data byte, with valid CRCs"""

    def inject_unknown_command(self, command: object = 255, count: object = 1) -> None:
        """Send a command byte that is no FSoE command"""

    def inject_wrong_command(self, command: object | None = None, count: object = 1) -> None:
        """Send this command (default: one of another state) with valid CRCs"""

    def inject_reset(self, code: object, count: object = 1) -> None:
        """Answer with a Reset frame with this reason"""

    def inject_repeat(self, count: object = 1) -> None:
        """Put out the previous frame again instead of the answer"""

    def inject_replay(self, age: object = 2, count: object = 1) -> None:
        """Put out the frame sent `age` frames ago (2 to 16)"""

    def inject_silence(self, cycles: object) -> None:
        """Ignore the next cycles: frames in them are never answered"""

    def request_reset(self) -> None:
        """
        Reset the connection now: the process image holds a Reset frame with reason 0
        """

    def clear_faults(self) -> None:
        """Drop every pending fault"""
