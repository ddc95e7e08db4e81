// kestrel.kestrel._bench: the benchmark's native loop, kept out of the module's
// API (python -m kestrel bench uses it).
#include <chrono>
#include <vector>

#include "common.hpp"
#include "kestrel/handler/master_handler.hpp"

namespace kestrel::py {

namespace {

// The bus cycle without Python in the loop: every reply in turn to every
// handler (set_reply, then get_request), as a host's C++ loop would; returns
// the nanoseconds it took. The benchmark's native reference.
int64_t bench_cycles(nb::handle handlers, nb::handle replies) {
    std::vector<MasterHandler *> hs;
    for (nb::handle h : handlers) hs.push_back(&nb::cast<MasterHandler &>(h));
    std::vector<std::vector<uint8_t>> rs;
    for (nb::handle r : replies) {
        const auto bytes = nb::cast<nb::bytes>(r);
        const auto *begin = reinterpret_cast<const uint8_t *>(bytes.c_str());
        rs.emplace_back(begin, begin + bytes.size());
    }
    nb::gil_scoped_release release;
    MasterHandler::RequestBuffer buffer;
    size_t sink = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto &reply : rs)
        for (MasterHandler *h : hs) {
            h->set_reply(reply);
            sink += h->get_request(buffer);
        }
    const auto t1 = std::chrono::steady_clock::now();
    if (sink == 0) return -1;  // keeps the requests observable
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
}

}  // namespace

void bind_bench(nb::module_ &m) {
    nb::module_ bench = m.def_submodule("_bench", "Benchmark loops, not part of the API");
    bench.def("cycles", &bench_cycles, nb::arg("handlers"), nb::arg("replies"),
              "Runs every reply through every handler in C++; returns the nanoseconds taken");
}

}  // namespace kestrel::py
