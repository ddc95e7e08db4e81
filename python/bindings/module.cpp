#include "common.hpp"

NB_MODULE(kestrel, m) {
    m.doc() = "FSoE master: safety frames, data model, connection set-up and cycle supervision";
#ifdef KESTREL_VERSION_STRING
    m.attr("__version__") = KESTREL_VERSION_STRING;  // pyproject.toml's, through CMake
#else
    m.attr("__version__") = "unknown";
#endif
    using namespace kestrel::py;
    bind_runtime(m);
    bind_errors(m);
    bind_data_type(m);
    bind_frame(m);
    bind_trace(m);
    bind_dictionary(m);
    bind_dictionary_map(m);
    bind_setup(m);
    bind_watchdog(m);
    bind_connection(m);
    bind_handler(m);
    bind_slave(m);
    bind_bench(m);
    bind_ecat(m);
}
