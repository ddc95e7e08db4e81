"""
FSoE master: safety frames, data model, connection set-up and cycle supervision
"""

import builtins
from collections.abc import Callable, Iterable, Iterator
import enum
import threading
from typing import (
    Any,
    NoReturn,
    Self,
    SupportsIndex,
    TypeAlias,
    TypeVar,
    Union,
    overload
)


_DictionaryItemT = TypeVar("_DictionaryItemT", bound=DictionaryItem)

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

    def get_initial_value(self) -> float | int | bool:
        """Get default initial value for the data type"""

    def serialize_value(self, value: float | int | bool) -> int:
        """Convert value to integer representation"""

    def serialize_bytes(self, value: float | int | bool) -> builtins.bytes:
        """Convert value to bytes representation"""

    def unserialize_value(self, value: int) -> float | int | bool:
        """Convert integer representation to value"""

def div_ceil(a: int, b: int) -> int:
    """Ceiling division of two integers"""

def align_bits(number: int, boundary: int) -> int:
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
    def has_value(value: int) -> bool:
        """Check whether a command has this value"""

class U16Array:
    """Bounded view of 16-bit words"""

    def __init__(self) -> None: ...

    def __getitem__(self, index: int, /) -> int: ...

    def __setitem__(self, index: int, value: int, /) -> None: ...

    def __len__(self) -> int: ...

    def clear(self) -> None:
        """Set all words to 0"""

    @property
    def u32Length(self) -> int: ...

    def __reduce__(self) -> NoReturn: ...

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn: ...

    def __getstate__(self) -> NoReturn: ...

    def __iter__(self) -> Iterator[int]: ...

class FSOEFrameControl:
    """View of the control words of a frame"""

    @property
    def command(self) -> FSOECommand: ...

    @command.setter
    def command(self, value: FSOECommand, /) -> None: ...

    def command_is_valid(self) -> bool: ...

    @property
    def connection_id(self) -> int: ...

    @connection_id.setter
    def connection_id(self, value: int, /) -> None: ...

    @property
    def sequence_number(self) -> int: ...

    @sequence_number.setter
    def sequence_number(self, value: int, /) -> None: ...

    @property
    def crc0(self) -> int: ...

    @crc0.setter
    def crc0(self, value: int, /) -> None: ...

    def increment_sequence_number(self) -> None: ...

    def __reduce__(self) -> NoReturn: ...

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn: ...

    def __getstate__(self) -> NoReturn: ...

class FSOEFrame:
    """FSoE frame"""

    def __init__(self, length: int = 0) -> None: ...

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
    def safe_data_size_bytes(self, value: int, /) -> None: ...

    def set_safe_data_bytes(self, data: bytes) -> None:
        """Set safe data from bytes"""

    def get_safe_data_bytes(self) -> bytes:
        """Get safe data as bytes"""

    def generate_crcs(self) -> None:
        """Does not take into account crc0 matching generation."""

    def check_crcs(self) -> bool:
        """Does not take into account crc0 matching generation."""

    def calc_crc0(self) -> int: ...

    def generate_crcs_cyclic(self, last_sent_crc_0: int) -> None: ...

    def check_crcs_cyclic(self, last_sent_crc_0: int) -> bool: ...

    def __reduce__(self) -> NoReturn: ...

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> NoReturn: ...

    def __getstate__(self) -> NoReturn: ...

    @classmethod
    def frame_from_array(cls, data: bytes) -> Self:
        """Convert bytes to a new FSOE Frame"""

KESTREL_LOGGING: bool

def _log_transition(name: object) -> None:
    """Trace a state transition"""

def _log_generate_crc(frame: FSOEFrame) -> None:
    """Trace a CRC generation"""

def _log_check_crc(calc_crc: Iterable[int], frame: FSOEFrame, result: bool) -> None:
    """Trace a CRC check"""

class DictionaryItem:
    """Safety dictionary item"""

    def __init__(self, key: int, name: str, data_type: DataType) -> None: ...

    @property
    def key(self) -> int: ...

    @property
    def name(self) -> str: ...

    @property
    def data_type(self) -> DataType: ...

    def set(self, value: float | int | bool) -> None: ...

    def get(self) -> float | int | bool: ...

    DataTypes: TypeAlias = DataType

class DictionaryItemInput(DictionaryItem):
    """Safe input item"""

    def __init__(self, key: int, name: str, data_type: DataType, fail_safe_value: float | int | bool) -> None: ...

    @property
    def fail_safe_value(self) -> float | int | bool: ...

    def subscribe_changed(self, callback: Callable[[], object]) -> None: ...

    def unsubscribe_changed(self, callback: Callable[[], object]) -> None: ...

class DictionaryItemOutput(DictionaryItem):
    """Safe output item"""

    def __init__(self, key: int, name: str, data_type: DataType) -> None: ...

class DictionaryItemInputOutput(DictionaryItem):
    """Safe item with an input side and an output side"""

    def __init__(self, key: int, name: str, data_type: DataType, fail_safe_input_value: float | int | bool) -> None: ...

    @property
    def value_input(self) -> float | int | bool: ...

    @property
    def value_output(self) -> float | int | bool: ...

    @property
    def fail_safe_input_value(self) -> float | int | bool: ...

    def subscribe_input_changed(self, callback: Callable[[], object]) -> None: ...

    def unsubscribe_input_changed(self, callback: Callable[[], object]) -> None: ...

class Dictionary:
    """Safety dictionary"""

    def __init__(self, items: list[_DictionaryItemT]) -> None: ...

    @property
    def key_map(self) -> dict[int, DictionaryItem]: ...

    @property
    def name_map(self) -> dict[str, DictionaryItem]: ...

    def set(self, name: str, value: float | int | bool) -> None: ...

    def get(self, name: str) -> float | int | bool: ...

class DictionaryMappedItem:
    """Entry of a dictionary map"""

    def __init__(self, item: DictionaryItem | None, bits: int, position_bits: int) -> None: ...

    @property
    def item(self) -> DictionaryItem | None: ...

    @property
    def bits(self) -> int: ...

    @property
    def position_bits(self) -> int: ...

    def copy(self) -> DictionaryMappedItem: ...

    def copy_as_padding(self) -> DictionaryMappedItem: ...

    def position_byte_bits(self) -> tuple[int, int]: ...

    def size_bytes_bits(self) -> tuple[int, int]: ...

class DictionaryMap:
    """Map of dictionary items into the safe data of a frame"""

    def __init__(self, dictionary: Dictionary, item_types_accepted: Iterable[type[DictionaryItem]]) -> None: ...

    @property
    def dictionary(self) -> Dictionary: ...

    @property
    def item_types_accepted(self) -> set[type[DictionaryItem]]: ...

    @property
    def locked(self) -> bool: ...

    @property
    def safety_bits(self) -> int: ...

    @property
    def safety_bytes(self) -> int: ...

    def __len__(self) -> int: ...

    def __iter__(self) -> Iterator[DictionaryMappedItem]: ...

    def __contains__(self, arg: DictionaryMappedItem, /) -> bool: ...

    @overload
    def __getitem__(self, index: int, /) -> DictionaryMappedItem: ...
    @overload
    def __getitem__(self, index: slice, /) -> list[DictionaryMappedItem]: ...

    def mapped_dictionary_items(self) -> list[DictionaryItem]: ...

    def unmapped_dictionary_items(self) -> list[DictionaryItem]: ...

    def copy(self) -> DictionaryMap: ...

    def get_text_representation(self, item_space: int = 40) -> str: ...

    def add(self, dict_item: DictionaryItem | None, bits: int | None = None, align_to_bits: int | None = None) -> DictionaryMappedItem: ...

    def add_by_key(self, key: int, bits: int | None = None) -> DictionaryMappedItem: ...

    def add_padding(self, bits: int) -> DictionaryMappedItem: ...

    def insert(self, index: int, dict_item: DictionaryItem | None, bits: int | None = None) -> DictionaryMappedItem: ...

    def insert_before(self, before_dictionary_mapped_item: DictionaryMappedItem, dict_item: DictionaryItem | None, bits: int | None = None) -> DictionaryMappedItem: ...

    def insert_after(self, after_dictionary_mapped_item: DictionaryMappedItem, dict_item: DictionaryItem | None, bits: int | None = None) -> DictionaryMappedItem: ...

    def insert_in_best_position(self, dict_item: DictionaryItem, align_to_bits: int = 1) -> DictionaryMappedItem: ...

    def set_bits(self, dictionary_mapped_item: DictionaryMappedItem, bits: int) -> None: ...

    def move_item_up(self, item: DictionaryMappedItem) -> bool: ...

    def move_item_down(self, item: DictionaryMappedItem) -> bool: ...

    def remove(self, item: DictionaryMappedItem | DictionaryItem) -> None: ...

    def transform_to_padding(self, item: DictionaryMappedItem | DictionaryItem) -> None: ...

    def merge_adjacent_paddings(self) -> None: ...

    def complete_with_padding(self) -> None: ...

    def trim_map(self) -> None: ...

    def clear(self) -> None: ...

class DynamicMappableItem:
    """Item that can be mapped to a dynamic map"""

    def __init__(self, initial_value: float | int | bool, data_type: DataType) -> None: ...

    def set(self, value: float | int | bool) -> None:
        """Set value of the item"""

    def get(self) -> float | int | bool:
        """Get value of the item"""

    @property
    def value(self) -> float | int | bool: ...

    @value.setter
    def value(self, value: float | int | bool, /) -> None: ...

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

    def __init__(self, name: str | None, initial_value: float | int | bool, n_bytes: int | None = None, data_type: DataType | None = None) -> None: ...

    @property
    def name(self) -> str | None: ...

    @name.setter
    def name(self, name: str | None, /) -> None: ...

    def set(self, value: float | int | bool) -> None:
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

    def add(self, item: DynamicMappableItem) -> None:
        """Add item to the dynamic map"""

    def pending(self) -> bool:
        """Determines whether there is pending data"""

    def total_items(self) -> int:
        """Number of items on the dynamic map."""

    def pending_items(self) -> int:
        """Number of Items pending to be sent or received"""

    def set_data_to_frame(self, frame: FSOEFrame, valid_data_bytes: int) -> None:
        """
        Gets data from the variables in the map and puts it into a frame

        Other safe_data on the frame will have padding 0's
        """

    def get_data_from_frame(self, frame: FSOEFrame, valid_data_bytes: int) -> None:
        """Sets data from a received frame to the variables in the map"""

    def is_safedata_correct(self, expected_map: FSOEDynamicMap) -> bool:
        """
        Compare the data that has been processed on this dynamic map to another map
        """

def calculate_sra_crc(params: list[int]) -> int:
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

class Watchdog(threading.Thread):
    """
    Implements a mechanism to detect if a PDU cycle is not completed within a time frame.

    A threading.Thread (a daemon named 'FSoE watchdog' unless given a name) that calls callback() on its own thread whenever timeout_s seconds pass without reset() while active.
    """

    def __init__(self, timeout_s: float, callback: Callable[[], object], *, name: str | None = None) -> None: ...

    def start(self) -> None:
        """Start the watchdog thread"""

    def run(self) -> None:
        """Watchdog process"""

    def is_alive(self) -> bool:
        """Whether the watchdog thread accepts commands"""

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

class BaseError(enum.IntEnum):
    """Basic FSoE Error"""

    RESET = 0

    INVALID_CMD = 1

    UNKNOWN_CMD = 2

    INVALID_CONNID = 3

    INVALID_CRC = 4

    WD_EXPIRED = 5

    INVALID_ADDRESS = 6

    INVALID_DATA = 7

    INVALID_COMMPARALEN = 8

    INVALID_COMPARA = 9

    INVALID_USERPARALEN = 10

    INVALID_USERPARA = 11

class FSOEError(enum.IntEnum):
    RESET = 0

    INVALID_CMD = 1

    UNKNOWN_CMD = 2

    INVALID_CONNID = 3

    INVALID_CRC = 4

    WD_EXPIRED = 5

    INVALID_ADDRESS = 6

    INVALID_DATA = 7

    INVALID_COMMPARALEN = 8

    INVALID_COMPARA = 9

    INVALID_USERPARALEN = 10

    INVALID_USERPARA = 11

    INVALID_SAFEPARA_128 = 128

    INVALID_SAFEPARA_129 = 129

    INVALID_SAFEPARA_130 = 130

    INVALID_SAFEPARA_131 = 131

    INVALID_SAFEPARA_132 = 132

    INVALID_SAFEPARA_133 = 133

    INVALID_SAFEPARA_134 = 134

    INVALID_SAFEPARA_135 = 135

    INVALID_SAFEPARA_136 = 136

    INVALID_SAFEPARA_137 = 137

    INVALID_SAFEPARA_138 = 138

    INVALID_SAFEPARA_139 = 139

    INVALID_SAFEPARA_140 = 140

    INVALID_SAFEPARA_141 = 141

    INVALID_SAFEPARA_142 = 142

    INVALID_SAFEPARA_143 = 143

    INVALID_SAFEPARA_144 = 144

    INVALID_SAFEPARA_145 = 145

    INVALID_SAFEPARA_146 = 146

    INVALID_SAFEPARA_147 = 147

    INVALID_SAFEPARA_148 = 148

    INVALID_SAFEPARA_149 = 149

    INVALID_SAFEPARA_150 = 150

    INVALID_SAFEPARA_151 = 151

    INVALID_SAFEPARA_152 = 152

    INVALID_SAFEPARA_153 = 153

    INVALID_SAFEPARA_154 = 154

    INVALID_SAFEPARA_155 = 155

    INVALID_SAFEPARA_156 = 156

    INVALID_SAFEPARA_157 = 157

    INVALID_SAFEPARA_158 = 158

    INVALID_SAFEPARA_159 = 159

    INVALID_SAFEPARA_160 = 160

    INVALID_SAFEPARA_161 = 161

    INVALID_SAFEPARA_162 = 162

    INVALID_SAFEPARA_163 = 163

    INVALID_SAFEPARA_164 = 164

    INVALID_SAFEPARA_165 = 165

    INVALID_SAFEPARA_166 = 166

    INVALID_SAFEPARA_167 = 167

    INVALID_SAFEPARA_168 = 168

    INVALID_SAFEPARA_169 = 169

    INVALID_SAFEPARA_170 = 170

    INVALID_SAFEPARA_171 = 171

    INVALID_SAFEPARA_172 = 172

    INVALID_SAFEPARA_173 = 173

    INVALID_SAFEPARA_174 = 174

    INVALID_SAFEPARA_175 = 175

    INVALID_SAFEPARA_176 = 176

    INVALID_SAFEPARA_177 = 177

    INVALID_SAFEPARA_178 = 178

    INVALID_SAFEPARA_179 = 179

    INVALID_SAFEPARA_180 = 180

    INVALID_SAFEPARA_181 = 181

    INVALID_SAFEPARA_182 = 182

    INVALID_SAFEPARA_183 = 183

    INVALID_SAFEPARA_184 = 184

    INVALID_SAFEPARA_185 = 185

    INVALID_SAFEPARA_186 = 186

    INVALID_SAFEPARA_187 = 187

    INVALID_SAFEPARA_188 = 188

    INVALID_SAFEPARA_189 = 189

    INVALID_SAFEPARA_190 = 190

    INVALID_SAFEPARA_191 = 191

    INVALID_SAFEPARA_192 = 192

    INVALID_SAFEPARA_193 = 193

    INVALID_SAFEPARA_194 = 194

    INVALID_SAFEPARA_195 = 195

    INVALID_SAFEPARA_196 = 196

    INVALID_SAFEPARA_197 = 197

    INVALID_SAFEPARA_198 = 198

    INVALID_SAFEPARA_199 = 199

    INVALID_SAFEPARA_200 = 200

    INVALID_SAFEPARA_201 = 201

    INVALID_SAFEPARA_202 = 202

    INVALID_SAFEPARA_203 = 203

    INVALID_SAFEPARA_204 = 204

    INVALID_SAFEPARA_205 = 205

    INVALID_SAFEPARA_206 = 206

    INVALID_SAFEPARA_207 = 207

    INVALID_SAFEPARA_208 = 208

    INVALID_SAFEPARA_209 = 209

    INVALID_SAFEPARA_210 = 210

    INVALID_SAFEPARA_211 = 211

    INVALID_SAFEPARA_212 = 212

    INVALID_SAFEPARA_213 = 213

    INVALID_SAFEPARA_214 = 214

    INVALID_SAFEPARA_215 = 215

    INVALID_SAFEPARA_216 = 216

    INVALID_SAFEPARA_217 = 217

    INVALID_SAFEPARA_218 = 218

    INVALID_SAFEPARA_219 = 219

    INVALID_SAFEPARA_220 = 220

    INVALID_SAFEPARA_221 = 221

    INVALID_SAFEPARA_222 = 222

    INVALID_SAFEPARA_223 = 223

    INVALID_SAFEPARA_224 = 224

    INVALID_SAFEPARA_225 = 225

    INVALID_SAFEPARA_226 = 226

    INVALID_SAFEPARA_227 = 227

    INVALID_SAFEPARA_228 = 228

    INVALID_SAFEPARA_229 = 229

    INVALID_SAFEPARA_230 = 230

    INVALID_SAFEPARA_231 = 231

    INVALID_SAFEPARA_232 = 232

    INVALID_SAFEPARA_233 = 233

    INVALID_SAFEPARA_234 = 234

    INVALID_SAFEPARA_235 = 235

    INVALID_SAFEPARA_236 = 236

    INVALID_SAFEPARA_237 = 237

    INVALID_SAFEPARA_238 = 238

    INVALID_SAFEPARA_239 = 239

    INVALID_SAFEPARA_240 = 240

    INVALID_SAFEPARA_241 = 241

    INVALID_SAFEPARA_242 = 242

    INVALID_SAFEPARA_243 = 243

    INVALID_SAFEPARA_244 = 244

    INVALID_SAFEPARA_245 = 245

    INVALID_SAFEPARA_246 = 246

    INVALID_SAFEPARA_247 = 247

    INVALID_SAFEPARA_248 = 248

    INVALID_SAFEPARA_249 = 249

    INVALID_SAFEPARA_250 = 250

    INVALID_SAFEPARA_251 = 251

    INVALID_SAFEPARA_252 = 252

    INVALID_SAFEPARA_253 = 253

    INVALID_SAFEPARA_254 = 254

    INVALID_SAFEPARA_255 = 255

class Session:
    """
    FSoE Session structure

    Holds the current known data of the FSoE connection
    """

    def __init__(self, slave_address: int, connection_id: int, watchdog_ms: int) -> None: ...

    @property
    def slave_address(self) -> DynamicMappableItem: ...

    @property
    def session_id(self) -> DynamicMappableItem: ...

    @property
    def error_id(self) -> DynamicMappableItem: ...

    @property
    def connection_id(self) -> DynamicMappableItem: ...

    @property
    def comm_parameter_size_bytes(self) -> DynamicMappableItem: ...

    @property
    def watchdog_ms(self) -> DynamicMappableItem: ...

    @property
    def app_parameter_size_bytes(self) -> DynamicMappableItem: ...

    @property
    def error(self) -> FSOEError: ...
    @error.setter
    def error(self, error: BaseError | FSOEError) -> None: ...

class Node:
    """
    FSoE Node

    Holds information relating to one of the FSoE Nodes
    """

    def __init__(self, slave_address: int, connection_id: int, watchdog_ms: int, application_parameters: list[DynamicMappableItem], dictionary: Dictionary, item_types_accepted: set[type[DictionaryItem]], dictionary_map_is_editable: bool = True) -> None: ...

    @property
    def frame(self) -> FSOEFrame: ...

    @property
    def session(self) -> Session: ...

    @property
    def dictionary_map(self) -> DictionaryMap: ...

    @property
    def application_parameters(self) -> list[DynamicMappableItem]: ...

    def start(self) -> None:
        """Procedures required before the FSoE is initialized"""

    def stop(self) -> None:
        """Procedures required when the FSoE is stopped"""

class State:
    """FSoE State"""

    def __init__(self, context: MasterHandler) -> None: ...

    @property
    def context(self) -> MasterHandler: ...

class StateReset(State):
    """FSoE Reset state"""

    def __init__(self, context: MasterHandler) -> None: ...

    def map_frame(self) -> None: ...

    id: int = 0

class StateSession(State):
    """FSoE Session state"""

    def __init__(self, context: MasterHandler) -> None: ...

    def map_frame(self) -> None: ...

    id: int = 1

class StateConnection(State):
    """FSoE Connection state"""

    def __init__(self, context: MasterHandler) -> None: ...

    id: int = 2

class StateParameter(State):
    """FSoE Parameter state"""

    def __init__(self, context: MasterHandler) -> None: ...

    def map_frame(self) -> None: ...

    id: int = 3

class StateData(State):
    """FSoE Data state"""

    def __init__(self, context: MasterHandler) -> None: ...

    def map_frame(self) -> None: ...

    id: int = 4

def error_description(code: int) -> str:
    """What an FSoE error code means and what usually causes it"""

class MasterHandler:
    """
    Handles the connection with a single slave from a master's point of view
    """

    def __init__(self, dictionary: Dictionary, slave_address: int, connection_id: int, watchdog_timeout_s: float, application_parameters: list[ApplicationParameter] | None = None, report_error_callback: Callable[[str, str], object] | None = None, state_change_callback: Callable[[type[State]], object] | None = None, dictionary_map_is_editable: bool = True) -> None: ...

    def start(self) -> None:
        """Start the FSoE connection"""

    def stop(self) -> None:
        """Reset the connection and stop"""

    def reset(self) -> None:
        """Reset the FSoE Connection"""

    @property
    def running(self) -> bool: ...

    def get_request(self) -> bytes:
        """Can be called N times, even while the PDU has not changed"""

    def set_reply(self, data: bytes | bytearray | memoryview) -> None:
        """
        Can be set N times with the same data and will detect when there's a new PDU
        """

    def set_fail_safe(self, active: bool = True) -> None:
        """Set if the master is in fail safe mode"""

    @property
    def request_length(self) -> int:
        """
        Bytes of the master's frames as the maps give them (0 while a map cannot start)
        """

    @property
    def reply_length(self) -> int:
        """
        Bytes of the slave's frames as the maps give them (0 while a map cannot start)
        """

    def write_request_into(self, buffer: bytearray | memoryview, offset: int = 0) -> int:
        """
        Write the current request into a process image area at offset; returns its length
        """

    def set_reply_from(self, buffer: bytes | bytearray | memoryview, offset: int = 0) -> None:
        """
        Hand over the reply_length bytes at offset of a process image area, as set_reply
        """

    @property
    def state(self) -> type[State]: ...

    @property
    def initialization_data_bytes(self) -> int: ...

    def get_slave_address(self) -> int: ...

    def set_slave_address(self, slave_address: int) -> None: ...

    def delete(self) -> None: ...

    @property
    def statistics(self) -> dict[str, Any]:
        """
        A snapshot of what the handler has seen: cycles, transitions, last fault, resets, time in Data, response times
        """

    def reset_statistics(self) -> None:
        """Clear the statistics"""

    @property
    def statistics_enabled(self) -> bool: ...

    @statistics_enabled.setter
    def statistics_enabled(self, arg: bool, /) -> None: ...

    @property
    def dictionary(self) -> Dictionary: ...

    @property
    def master(self) -> Node: ...

    @property
    def slave(self) -> Node: ...

class SlaveSimulator:
    """
    Software FSoE slave driven frame by frame: reply = slave.step(request).

    It answers the master's Reset, Session, Connection, Parameter and Data frames as a safety slave does, checks the CRC chains, sequence numbers, connection id, address and parameters, and reports what it finds in its Reset frames. Faults can be injected into its next replies.
    """

    def __init__(self, slave_address: int, *, input_size: int = 2, output_size: int = 2, application_parameters: bytes = b"", watchdog_range_ms: tuple[int, int] = (1, 65535), verify_parameters: Callable[[bytes], int | None] | None = None, manual_clock: bool = False, seed: int | None = None) -> None:
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

    def step(self, request: bytes) -> bytes:
        """
        One bus cycle: the master's request in, the slave's frame out. Without a new frame to answer (empty request, the same request again, a silent cycle) the previous reply is returned, as a process image keeps it; b'' before the first reply.
        """

    @property
    def reply(self) -> bytes:
        """The frame the process image holds now"""

    def advance(self, ms: int) -> None:
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
    def last_reset_reason(self) -> int | None:
        """Reason of the latest reset, sent or received; None before any"""

    @property
    def last_reset_sent(self) -> int | None:
        """
        Reason of the latest Reset the slave sent on its own account (acknowledgements excluded)
        """

    @property
    def last_reset_received(self) -> int | None:
        """Reason of the latest Reset frame received from the master"""

    @property
    def slave_session_id(self) -> int: ...

    @property
    def master_session_id(self) -> int | None: ...

    @property
    def connection_id(self) -> int | None:
        """The connection id of the Connection data, once received"""

    @property
    def watchdog_ms(self) -> int | None:
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
    def inputs(self, value: bytes, /) -> None: ...

    @property
    def process_data(self) -> bool:
        """
        True: answer with process data; False: with fail-safe data. Cleared by every reset.
        """

    @process_data.setter
    def process_data(self, value: bool, /) -> None: ...

    @property
    def counters(self) -> dict[str, int]: ...

    @property
    def resets_sent_by_code(self) -> dict[int, int]:
        """How often the slave sent each reset reason on its own account"""

    @property
    def faults_pending(self) -> bool: ...

    def inject_bit_flip(self, bit: int, count: int = 1) -> None:
        """Flip bit (8 * byte + bit of byte) of the next replies"""

    def inject_wrong_connection_id(self, connection_id: int | None = None, count: int = 1) -> None:
        """Send this connection id (default: the right one + 1) with valid CRCs"""

    def inject_wrong_echo(self, byte_index: int = 0, count: int = 1) -> None:
        """Invert one safe-data byte, with valid CRCs"""

    def inject_unknown_command(self, command: int = 255, count: int = 1) -> None:
        """Send a command byte that is no FSoE command"""

    def inject_wrong_command(self, command: FSOECommand | None = None, count: int = 1) -> None:
        """Send this command (default: one of another state) with valid CRCs"""

    def inject_reset(self, code: int, count: int = 1) -> None:
        """Answer with a Reset frame with this reason"""

    def inject_repeat(self, count: int = 1) -> None:
        """Put out the previous frame again instead of the answer"""

    def inject_replay(self, age: int = 2, count: int = 1) -> None:
        """Put out the frame sent `age` frames ago (2 to 16)"""

    def inject_silence(self, cycles: int) -> None:
        """Ignore the next cycles: frames in them are never answered"""

    def request_reset(self) -> None:
        """
        Reset the connection now: the process image holds a Reset frame with reason 0
        """

    def clear_faults(self) -> None:
        """Drop every pending fault"""

class VirtualSegment:
    """
    A virtual EtherCAT segment: emulated slave devices in a chain, each running a SlaveSimulator as its application, with the FSoE request in its outputs (RxPDO) and the reply in its inputs (TxPDO).
    """

    def __init__(self) -> None: ...

    def add_device(self, slave: SlaveSimulator, *, vendor_id: int = 0, product_code: int = 0, revision: int = 1, serial: int = 0, alias: int = 0, name: str = '') -> int:
        """
        Appends a device at the end of the chain with this simulator as its application; returns its index
        """

    def __len__(self) -> int: ...

    def slave(self, index: int) -> SlaveSimulator:
        """The SlaveSimulator of device `index`"""

    def process(self, frame: bytes) -> bytes | None:
        """
        One Ethernet frame through the chain: the frame as it comes back, or None for a frame the segment does not send back (not EtherCAT, or malformed)
        """

    def tick(self) -> None:
        """Lets the process-data watchdogs see the time pass"""

    def al_state(self, index: int) -> int:
        """AL state of device `index`: 1 INIT, 2 PRE-OP, 4 SAFE-OP, 8 OP"""

    def al_state_name(self, index: int) -> str:
        pass

    def al_error(self, index: int) -> bool:
        pass

    def al_status_code(self, index: int) -> int:
        pass

    def station_address(self, index: int) -> int:
        pass

    def output_length(self, index: int) -> int:
        """Bytes of the device's outputs (the FSoE request)"""

    def input_length(self, index: int) -> int:
        """Bytes of the device's inputs (the FSoE reply)"""

    def device_name(self, index: int) -> str:
        pass

    def device_info(self, index: int) -> dict[str, Any]:
        """
        What a master's configuration needs of device `index`: identity, and for 'outputs' (RxPDO) and 'inputs' (TxPDO) the PDO index, sync manager, its address and control byte, length in bytes, entries (index, subindex, bits, name)
        """

    def sii(self, index: int) -> bytes:
        """The device's SII EEPROM image"""

    def application_cycles(self, index: int) -> int:
        """How often the device's application was stepped"""

    def watchdog_expiries(self, index: int) -> int:
        pass

    def unknown_accesses(self, index: int) -> list[tuple[int, int, bool]]:
        """
        Accesses to addresses the device has no register for: (address, length, write)
        """

    @property
    def counters(self) -> dict[str, int]: ...

    def open(self, ifname: str) -> None:
        """
        Serves the segment on this network interface (needs root or CAP_NET_RAW)
        """

    def close(self) -> None: ...

    @property
    def is_open(self) -> bool: ...

    def serve(self, seconds: float) -> int:
        """
        Answers the frames arriving for `seconds`; returns how many were sent back. The GIL is free while waiting for a frame.
        """
