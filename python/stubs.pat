# Pattern file for nanobind's stubgen (make stubs): the signatures that the
# bindings cannot state themselves. Most arguments are taken as plain Python
# objects so that wrong ones get the module's own error messages; here they get
# the types those checks accept.
#
# Format: a line ending in ':' is a regular expression searched in the
# qualified name of each member (the first matching entry wins, so every query
# is anchored); the indented lines below it replace that member's stub.
# '\doc' inserts the member's docstring, '\from' and '\import' add imports.
# A property is replaced as a whole (getter and setter). Values are written
# out as 'float | int | bool', the union named DICTIONARY_VALUE_TYPES.

# --- module -----------------------------------------------------------------

# Its value depends on the environment of the process that generates the stubs.
^kestrel\.kestrel\.KESTREL_LOGGING$:
    KESTREL_LOGGING: bool

# The trace functions: internal, but named by the module's interface.
^kestrel\.kestrel\._log_transition$:
    def _log_transition(name: object) -> None:
        \doc

^kestrel\.kestrel\._log_generate_crc$:
    def _log_generate_crc(frame: FSOEFrame) -> None:
        \doc

^kestrel\.kestrel\._log_check_crc$:
    \from collections.abc import Iterable
    def _log_check_crc(calc_crc: Iterable[int], frame: FSOEFrame, result: bool) -> None:
        \doc

# --- data types ---------------------------------------------------------------

# Inside DataType 'bytes' names its property, hence builtins.bytes.
^kestrel\.kestrel\.DataType\.get_initial_value$:
    def get_initial_value(self) -> float | int | bool:
        \doc

^kestrel\.kestrel\.DataType\.serialize_value$:
    def serialize_value(self, value: float | int | bool) -> int:
        \doc

^kestrel\.kestrel\.DataType\.serialize_bytes$:
    \import builtins
    def serialize_bytes(self, value: float | int | bool) -> builtins.bytes:
        \doc

^kestrel\.kestrel\.DataType\.unserialize_value$:
    def unserialize_value(self, value: int) -> float | int | bool:
        \doc

^kestrel\.kestrel\.div_ceil$:
    def div_ceil(a: int, b: int) -> int:
        \doc

^kestrel\.kestrel\.align_bits$:
    def align_bits(number: int, boundary: int) -> int:
        \doc

# --- frames -------------------------------------------------------------------

^kestrel\.kestrel\.FSOECommand\.has_value$:
    @staticmethod
    def has_value(value: int) -> bool:
        \doc

# Pickling always raises TypeError.
^kestrel\.kestrel\.\w+\.__reduce__$:
    \from typing import NoReturn
    def __reduce__(self) -> NoReturn: ...

^kestrel\.kestrel\.\w+\.__reduce_ex__$:
    \from typing import NoReturn, SupportsIndex
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn: ...

^kestrel\.kestrel\.\w+\.__getstate__$:
    \from typing import NoReturn
    def __getstate__(self) -> NoReturn: ...

^kestrel\.kestrel\.U16Array\.__getitem__$:
    def __getitem__(self, index: int, /) -> int: ...

^kestrel\.kestrel\.U16Array\.__setitem__$:
    def __setitem__(self, index: int, value: int, /) -> None: ...

# Iteration goes through __getitem__ up to the IndexError at the end; stated
# here so that checkers take a view as an Iterable[int].
^kestrel\.kestrel\.U16Array\.__suffix__$:
    \from collections.abc import Iterator
    def __iter__(self) -> Iterator[int]: ...

# Deleting a word always fails: left out, so that checkers refuse 'del'.
^kestrel\.kestrel\.U16Array\.__delitem__$:

^kestrel\.kestrel\.FSOEFrameControl\.command$:
    @property
    def command(self) -> FSOECommand: ...

    @command.setter
    def command(self, value: FSOECommand, /) -> None: ...

^kestrel\.kestrel\.FSOEFrameControl\.(connection_id|sequence_number|crc0)$:
    @property
    def \1(self) -> int: ...

    @\1.setter
    def \1(self, value: int, /) -> None: ...

^kestrel\.kestrel\.FSOEFrame\.__init__$:
    def __init__(self, length: int = 0) -> None: ...

^kestrel\.kestrel\.FSOEFrame\.safe_data_size_bytes$:
    @property
    def safe_data_size_bytes(self) -> int: ...

    @safe_data_size_bytes.setter
    def safe_data_size_bytes(self, value: int, /) -> None: ...

^kestrel\.kestrel\.FSOEFrame\.set_safe_data_bytes$:
    def set_safe_data_bytes(self, data: bytes) -> None:
        \doc

^kestrel\.kestrel\.FSOEFrame\.generate_crcs_cyclic$:
    def generate_crcs_cyclic(self, last_sent_crc_0: int) -> None: ...

^kestrel\.kestrel\.FSOEFrame\.check_crcs_cyclic$:
    def check_crcs_cyclic(self, last_sent_crc_0: int) -> bool: ...

# A subclass gets a frame of its own class.
^kestrel\.kestrel\.FSOEFrame\.frame_from_array$:
    \from typing import Self
    @classmethod
    def frame_from_array(cls, data: bytes) -> Self:
        """Convert bytes to a new FSOE Frame"""

# --- dictionary ---------------------------------------------------------------

# Bound to the item classes; a list of any of them (or of their mix) is accepted.
^kestrel\.kestrel\.__prefix__$:
    \from typing import TypeVar
    _DictionaryItemT = TypeVar("_DictionaryItemT", bound=DictionaryItem)

^kestrel\.kestrel\.DictionaryItem\.__init__$:
    def __init__(self, key: int, name: str, data_type: DataType) -> None: ...

^kestrel\.kestrel\.DictionaryItem\.set$:
    def set(self, value: float | int | bool) -> None: ...

^kestrel\.kestrel\.DictionaryItem\.get$:
    def get(self) -> float | int | bool: ...

^kestrel\.kestrel\.DictionaryItemInput\.__init__$:
    def __init__(self, key: int, name: str, data_type: DataType, fail_safe_value: float | int | bool) -> None: ...

^kestrel\.kestrel\.DictionaryItemInput\.fail_safe_value$:
    @property
    def fail_safe_value(self) -> float | int | bool: ...

# Subscribers take no arguments; what they return is ignored.
^kestrel\.kestrel\.DictionaryItemInput\.(subscribe_changed|unsubscribe_changed)$:
    \from collections.abc import Callable
    def \1(self, callback: Callable[[], object]) -> None: ...

^kestrel\.kestrel\.DictionaryItemOutput\.__init__$:
    def __init__(self, key: int, name: str, data_type: DataType) -> None: ...

^kestrel\.kestrel\.DictionaryItemInputOutput\.__init__$:
    def __init__(self, key: int, name: str, data_type: DataType, fail_safe_input_value: float | int | bool) -> None: ...

^kestrel\.kestrel\.DictionaryItemInputOutput\.(value_input|value_output|fail_safe_input_value)$:
    @property
    def \1(self) -> float | int | bool: ...

^kestrel\.kestrel\.DictionaryItemInputOutput\.(subscribe_input_changed|unsubscribe_input_changed)$:
    \from collections.abc import Callable
    def \1(self, callback: Callable[[], object]) -> None: ...

^kestrel\.kestrel\.Dictionary\.__init__$:
    def __init__(self, items: list[_DictionaryItemT]) -> None: ...

^kestrel\.kestrel\.Dictionary\.key_map$:
    @property
    def key_map(self) -> dict[int, DictionaryItem]: ...

^kestrel\.kestrel\.Dictionary\.name_map$:
    @property
    def name_map(self) -> dict[str, DictionaryItem]: ...

^kestrel\.kestrel\.Dictionary\.set$:
    def set(self, name: str, value: float | int | bool) -> None: ...

^kestrel\.kestrel\.Dictionary\.get$:
    def get(self, name: str) -> float | int | bool: ...

# --- dictionary map -----------------------------------------------------------

^kestrel\.kestrel\.DictionaryMappedItem\.__init__$:
    def __init__(self, item: DictionaryItem | None, bits: int, position_bits: int) -> None: ...

# None for a padding entry.
^kestrel\.kestrel\.DictionaryMappedItem\.item$:
    @property
    def item(self) -> DictionaryItem | None: ...

^kestrel\.kestrel\.DictionaryMappedItem\.(position_byte_bits|size_bytes_bits)$:
    def \1(self) -> tuple[int, int]: ...

^kestrel\.kestrel\.DictionaryMap\.__init__$:
    \from collections.abc import Iterable
    def __init__(self, dictionary: Dictionary, item_types_accepted: Iterable[type[DictionaryItem]]) -> None: ...

^kestrel\.kestrel\.DictionaryMap\.item_types_accepted$:
    @property
    def item_types_accepted(self) -> set[type[DictionaryItem]]: ...

^kestrel\.kestrel\.DictionaryMap\.__iter__$:
    \from collections.abc import Iterator
    def __iter__(self) -> Iterator[DictionaryMappedItem]: ...

^kestrel\.kestrel\.DictionaryMap\.__getitem__$:
    \from typing import overload
    @overload
    def __getitem__(self, index: int, /) -> DictionaryMappedItem: ...
    @overload
    def __getitem__(self, index: slice, /) -> list[DictionaryMappedItem]: ...

^kestrel\.kestrel\.DictionaryMap\.(mapped_dictionary_items|unmapped_dictionary_items)$:
    def \1(self) -> list[DictionaryItem]: ...

^kestrel\.kestrel\.DictionaryMap\.get_text_representation$:
    def get_text_representation(self, item_space: int = 40) -> str: ...

^kestrel\.kestrel\.DictionaryMap\.add$:
    def add(self, dict_item: DictionaryItem | None, bits: int | None = None, align_to_bits: int | None = None) -> DictionaryMappedItem: ...

^kestrel\.kestrel\.DictionaryMap\.add_by_key$:
    def add_by_key(self, key: int, bits: int | None = None) -> DictionaryMappedItem: ...

^kestrel\.kestrel\.DictionaryMap\.add_padding$:
    def add_padding(self, bits: int) -> DictionaryMappedItem: ...

^kestrel\.kestrel\.DictionaryMap\.insert$:
    def insert(self, index: int, dict_item: DictionaryItem | None, bits: int | None = None) -> DictionaryMappedItem: ...

^kestrel\.kestrel\.DictionaryMap\.insert_before$:
    def insert_before(self, before_dictionary_mapped_item: DictionaryMappedItem, dict_item: DictionaryItem | None, bits: int | None = None) -> DictionaryMappedItem: ...

^kestrel\.kestrel\.DictionaryMap\.insert_after$:
    def insert_after(self, after_dictionary_mapped_item: DictionaryMappedItem, dict_item: DictionaryItem | None, bits: int | None = None) -> DictionaryMappedItem: ...

^kestrel\.kestrel\.DictionaryMap\.insert_in_best_position$:
    def insert_in_best_position(self, dict_item: DictionaryItem, align_to_bits: int = 1) -> DictionaryMappedItem: ...

^kestrel\.kestrel\.DictionaryMap\.set_bits$:
    def set_bits(self, dictionary_mapped_item: DictionaryMappedItem, bits: int) -> None: ...

^kestrel\.kestrel\.DictionaryMap\.(remove|transform_to_padding)$:
    def \1(self, item: DictionaryMappedItem | DictionaryItem) -> None: ...

# --- set-up data --------------------------------------------------------------

^kestrel\.kestrel\.DynamicMappableItem\.__init__$:
    def __init__(self, initial_value: float | int | bool, data_type: DataType) -> None: ...

^kestrel\.kestrel\.(DynamicMappableItem|ApplicationParameter)\.set$:
    def set(self, value: float | int | bool) -> None:
        \doc

^kestrel\.kestrel\.DynamicMappableItem\.get$:
    def get(self) -> float | int | bool:
        \doc

^kestrel\.kestrel\.DynamicMappableItem\.value$:
    @property
    def value(self) -> float | int | bool: ...

    @value.setter
    def value(self, value: float | int | bool, /) -> None: ...

^kestrel\.kestrel\.ApplicationParameter\.__init__$:
    def __init__(self, name: str | None, initial_value: float | int | bool, n_bytes: int | None = None, data_type: DataType | None = None) -> None: ...

^kestrel\.kestrel\.ApplicationParameter\.name$:
    @property
    def name(self) -> str | None: ...

    @name.setter
    def name(self, name: str | None, /) -> None: ...

^kestrel\.kestrel\.FSOEDynamicMap\.add$:
    def add(self, item: DynamicMappableItem) -> None:
        \doc

^kestrel\.kestrel\.FSOEDynamicMap\.set_data_to_frame$:
    def set_data_to_frame(self, frame: FSOEFrame, valid_data_bytes: int) -> None:
        \doc

^kestrel\.kestrel\.FSOEDynamicMap\.get_data_from_frame$:
    def get_data_from_frame(self, frame: FSOEFrame, valid_data_bytes: int) -> None:
        \doc

^kestrel\.kestrel\.calculate_sra_crc$:
    def calculate_sra_crc(params: list[int]) -> int:
        \doc

# --- watchdog -----------------------------------------------------------------

# The callback takes no arguments; what it returns is ignored.
^kestrel\.kestrel\.Watchdog\.__init__$:
    \from collections.abc import Callable
    def __init__(self, timeout_s: float, callback: Callable[[], object], *, name: str | None = None) -> None: ...

^kestrel\.kestrel\.Watchdog\.active$:
    @property
    def active(self) -> bool:
        """Indicates if the watchdog is active"""

# --- connection ---------------------------------------------------------------

^kestrel\.kestrel\.Session\.__init__$:
    def __init__(self, slave_address: int, connection_id: int, watchdog_ms: int) -> None: ...

^kestrel\.kestrel\.Session\.error$:
    @property
    def error(self) -> FSOEError: ...
    @error.setter
    def error(self, error: BaseError | FSOEError) -> None: ...

^kestrel\.kestrel\.Node\.__init__$:
    def __init__(self, slave_address: int, connection_id: int, watchdog_ms: int, application_parameters: list[DynamicMappableItem], dictionary: Dictionary, item_types_accepted: set[type[DictionaryItem]], dictionary_map_is_editable: bool = True) -> None: ...

^kestrel\.kestrel\.Node\.application_parameters$:
    @property
    def application_parameters(self) -> list[DynamicMappableItem]: ...

^kestrel\.kestrel\.State\.__init__$:
    def __init__(self, context: MasterHandler) -> None: ...

^kestrel\.kestrel\.State\.context$:
    @property
    def context(self) -> MasterHandler: ...

^kestrel\.kestrel\.State(Reset|Session|Connection|Parameter|Data)\.__init__$:
    def __init__(self, context: MasterHandler) -> None: ...

# Callbacks: (transition name, message) and (class of the new state).
^kestrel\.kestrel\.MasterHandler\.__init__$:
    \from collections.abc import Callable
    def __init__(self, dictionary: Dictionary, slave_address: int, connection_id: int, watchdog_timeout_s: float, application_parameters: list[ApplicationParameter] | None = None, report_error_callback: Callable[[str, str], object] | None = None, state_change_callback: Callable[[type[State]], object] | None = None, dictionary_map_is_editable: bool = True) -> None: ...

^kestrel\.kestrel\.MasterHandler\.set_reply$:
    def set_reply(self, data: bytes | bytearray | memoryview) -> None:
        \doc

^kestrel\.kestrel\.MasterHandler\.state$:
    @property
    def state(self) -> type[State]: ...

# Process image areas: any buffer (writable for the request).
^kestrel\.kestrel\.MasterHandler\.write_request_into$:
    def write_request_into(self, buffer: bytearray | memoryview, offset: int = 0) -> int:
        \doc

^kestrel\.kestrel\.MasterHandler\.set_reply_from$:
    def set_reply_from(self, buffer: bytes | bytearray | memoryview, offset: int = 0) -> None:
        \doc

^kestrel\.kestrel\.MasterHandler\.set_slave_address$:
    def set_slave_address(self, slave_address: int) -> None: ...

# --- slave simulator ----------------------------------------------------------

# verify_parameters(parameters) returns None or a reset reason.
^kestrel\.kestrel\.SlaveSimulator\.__init__$:
    \from collections.abc import Callable
    def __init__(self, slave_address: int, *, input_size: int = 2, output_size: int = 2, application_parameters: bytes = b"", watchdog_range_ms: tuple[int, int] = (1, 65535), verify_parameters: Callable[[bytes], int | None] | None = None, manual_clock: bool = False, seed: int | None = None) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.step$:
    def step(self, request: bytes) -> bytes:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.advance$:
    def advance(self, ms: int) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.(last_reset_reason|last_reset_sent|last_reset_received|connection_id|watchdog_ms)$:
    @property
    def \1(self) -> int | None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.master_session_id$:
    @property
    def master_session_id(self) -> int | None: ...

^kestrel\.kestrel\.SlaveSimulator\.inputs$:
    @property
    def inputs(self) -> bytes:
        \doc

    @inputs.setter
    def inputs(self, value: bytes, /) -> None: ...

^kestrel\.kestrel\.SlaveSimulator\.process_data$:
    @property
    def process_data(self) -> bool:
        \doc

    @process_data.setter
    def process_data(self, value: bool, /) -> None: ...

^kestrel\.kestrel\.SlaveSimulator\.counters$:
    @property
    def counters(self) -> dict[str, int]: ...

^kestrel\.kestrel\.SlaveSimulator\.resets_sent_by_code$:
    @property
    def resets_sent_by_code(self) -> dict[int, int]:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_bit_flip$:
    def inject_bit_flip(self, bit: int, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_wrong_connection_id$:
    def inject_wrong_connection_id(self, connection_id: int | None = None, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_wrong_echo$:
    def inject_wrong_echo(self, byte_index: int = 0, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_unknown_command$:
    def inject_unknown_command(self, command: int = 255, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_wrong_command$:
    def inject_wrong_command(self, command: FSOECommand | None = None, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_reset$:
    def inject_reset(self, code: int, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_repeat$:
    def inject_repeat(self, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_replay$:
    def inject_replay(self, age: int = 2, count: int = 1) -> None:
        \doc

^kestrel\.kestrel\.SlaveSimulator\.inject_silence$:
    def inject_silence(self, cycles: int) -> None:
        \doc

# --- the virtual EtherCAT segment -------------------------------------------

^kestrel\.kestrel\.VirtualSegment\.add_device$:
    def add_device(self, slave: SlaveSimulator, *, vendor_id: int = 0, product_code: int = 0, revision: int = 1, serial: int = 0, alias: int = 0, name: str = '') -> int:
        \doc

^kestrel\.kestrel\.VirtualSegment\.slave$:
    def slave(self, index: int) -> SlaveSimulator:
        \doc

^kestrel\.kestrel\.VirtualSegment\.process$:
    def process(self, frame: bytes) -> bytes | None:
        \doc

^kestrel\.kestrel\.VirtualSegment\.(al_state|al_status_code|station_address|output_length|input_length|application_cycles|watchdog_expiries)$:
    def \1(self, index: int) -> int:
        \doc

^kestrel\.kestrel\.VirtualSegment\.(al_state_name|device_name)$:
    def \1(self, index: int) -> str:
        \doc

^kestrel\.kestrel\.VirtualSegment\.al_error$:
    def al_error(self, index: int) -> bool:
        \doc

^kestrel\.kestrel\.VirtualSegment\.device_info$:
    \from typing import Any
    def device_info(self, index: int) -> dict[str, Any]:
        \doc

^kestrel\.kestrel\.VirtualSegment\.sii$:
    def sii(self, index: int) -> bytes:
        \doc

^kestrel\.kestrel\.VirtualSegment\.unknown_accesses$:
    def unknown_accesses(self, index: int) -> list[tuple[int, int, bool]]:
        \doc

^kestrel\.kestrel\.VirtualSegment\.counters$:
    @property
    def counters(self) -> dict[str, int]: ...
