#include "kestrel/connection/errors.hpp"

namespace kestrel {

std::optional<std::string> fsoe_error_name(long long code) {
    if (code >= 0 && code < kBaseErrorCount) return std::string(base_error_name(static_cast<BaseError>(code)));
    if (code >= kFirstSafeParaCode && code <= kLastSafeParaCode) return "INVALID_SAFEPARA_" + std::to_string(code);
    return std::nullopt;
}

std::string fsoe_error_description(uint8_t code) {
    static constexpr std::string_view texts[kBaseErrorCount] = {
        // RESET
        "No fault: the connection was reset on purpose (start, stop or reset by the host, or a peer "
        "acknowledging a reset) and is being set up again.",
        // INVALID_CMD
        "A frame carried a command that is not allowed in the current state, for example Data frames "
        "while the connection is being set up. Usually one side restarted without the other noticing.",
        // UNKNOWN_CMD
        "A frame carried a command byte that is no FSoE command. Usually a corrupted frame, a wrong "
        "process-data mapping or the safety frame placed at the wrong offset of the process image.",
        // INVALID_CONNID
        "The connection id of a frame differs from the one set up for this connection. Usually two "
        "connections mixed up in the configuration or the process image, or a wrong connection id.",
        // INVALID_CRC
        "A CRC of a frame did not match, including its chaining to the previous frame (sequence number, "
        "CRC_0). Usually bit errors on the bus, a frame repeated, lost or delayed by the network or the "
        "host, or a peer that restarted.",
        // WD_EXPIRED
        "No valid new frame arrived within the watchdog time. Usually the bus cycle stopped or became "
        "slower than the watchdog time allows, a cable or device dropped out, or the host stopped "
        "exchanging frames.",
        // INVALID_ADDRESS
        "The FSoE slave address sent by the master differs from the slave's own address. Usually the "
        "address switch of the device or the address in the master's configuration is wrong.",
        // INVALID_DATA
        "The echo of the set-up data (session, connection or parameter data) differs from what was sent. "
        "Usually a corrupted frame or a slave answering for another connection.",
        // INVALID_COMMPARALEN
        "The length of the communication parameters is not what the slave expects. Usually master and "
        "slave configurations of different versions.",
        // INVALID_COMPARA
        "The communication parameters were refused: the watchdog time is outside the range the slave "
        "accepts. Usually a watchdog time set too short or too long for the device.",
        // INVALID_USERPARALEN
        "The length of the application parameters is not what the slave expects. Usually a parameter set "
        "made for another device type or firmware version.",
        // INVALID_USERPARA
        "The slave refused the application parameters. Usually a value outside its range or a parameter "
        "set made for another device.",
    };
    if (code < kBaseErrorCount) return std::string(texts[code]);
    if (code >= kFirstSafeParaCode)
        return "Device-specific parameter error " + std::to_string(code) +
               ": the slave refused the application parameters by its own check. The device's manual "
               "gives the meaning of this code.";
    return "Code " + std::to_string(code) +
           " is reserved, not an FSoE error code: the peer sent a value no FSoE device should send.";
}

}  // namespace kestrel
