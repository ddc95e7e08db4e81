// Application parameters: named set-up items that the master sends to the
// slave in the Parameter state, changeable only while their master is idle.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kestrel/setup/dynamic_map.hpp"

namespace kestrel {

// What a parameter needs to know of the master that uses it. The master
// handler implements it (or hands out a small status object that does, so
// that parameters and handler hold no ownership cycle).
class ParameterOwner {
public:
    virtual ~ParameterOwner() = default;
    virtual bool running() const = 0;
};

class ApplicationParameter : public DynamicMappableItem {
public:
    // Steps 2 to 4 of the construction: the data type from `n_bytes` and/or
    // `data_type`, with the ValueErrors of an inconsistent pair.
    static DataType resolve_data_type(std::optional<int64_t> n_bytes, std::optional<DataType> data_type);

    ApplicationParameter(std::optional<std::string> name, const Value &initial_value,
                         std::optional<int64_t> n_bytes = std::nullopt,
                         std::optional<DataType> data_type = std::nullopt);

    // FSOEMasterRunningException (ErrorKind::MasterRunning) while the owning
    // master runs; the old value stays.
    void set(const Value &value) override;

    // Binds the parameter to its master for good. PermissionError if it is
    // already bound, to any master. A null owner binds nothing.
    void _set_use_by_master(std::shared_ptr<ParameterOwner> master);
    const std::shared_ptr<ParameterOwner> &used_by_master() const noexcept { return used_by_master_; }

    std::optional<std::string> name;

private:
    std::shared_ptr<ParameterOwner> used_by_master_;
};

}  // namespace kestrel
