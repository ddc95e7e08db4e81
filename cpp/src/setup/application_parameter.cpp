#include "kestrel/setup/application_parameter.hpp"

#include "kestrel/common/error.hpp"

namespace kestrel {

DataType ApplicationParameter::resolve_data_type(std::optional<int64_t> n_bytes, std::optional<DataType> data_type) {
    if (!data_type) {
        if (!n_bytes)
            raise(ErrorKind::Value, "data type or number of bytes for application parameter must be specified");
        // A size alone always means the unsigned integer of that size.
        switch (*n_bytes) {
            case 1:
                return DataType::UINT8;
            case 2:
                return DataType::UINT16;
            case 4:
                return DataType::UINT32;
            default:
                raise(ErrorKind::Value, "n_bytes must be 1, 2 or 4, or type be specified");
        }
    }
    if (n_bytes && *n_bytes != data_type_bytes(*data_type))
        raise(ErrorKind::Value, "n_bytes must be equal to the number of bytes of the data type");
    return *data_type;
}

ApplicationParameter::ApplicationParameter(std::optional<std::string> name_, const Value &initial_value,
                                           std::optional<int64_t> n_bytes, std::optional<DataType> data_type)
    : DynamicMappableItem(initial_value, resolve_data_type(n_bytes, data_type)), name(std::move(name_)) {}

void ApplicationParameter::set(const Value &value) {
    if (used_by_master_ && used_by_master_->running())
        raise(ErrorKind::MasterRunning, "Application parameters cannot be changed while the master is running");
    store(value);
}

void ApplicationParameter::_set_use_by_master(std::shared_ptr<ParameterOwner> master) {
    if (used_by_master_) raise(ErrorKind::Permission, "Application parameter already used by a master");
    used_by_master_ = std::move(master);
}

}  // namespace kestrel
