// Shared between the connection and handler binders: the state classes, the
// error enumeration and the way from a core context to its host object.
#pragma once

#include <functional>

#include "common.hpp"
#include "kestrel/connection/states.hpp"

namespace kestrel::py {

nb::handle state_class(StateId id);
StateId state_id_of_class(nb::handle cls);  // TypeError for anything else
nb::object fsoe_error(long long code);      // FSOEError(code)

// The core context behind a host MasterHandler (TypeError otherwise), and back.
ConnectionContext &handler_context(nb::handle handler);
nb::object handler_object(ConnectionContext &context);
// Runs `body` as one event of the handler behind `context`.
void run_state_event(ConnectionContext &context, const std::function<void()> &body);

// A node's application parameters as the host sees them (the host's list).
void attach_parameters(Node &node, nb::handle list);
nb::object node_parameters(const Node &node);

}  // namespace kestrel::py
