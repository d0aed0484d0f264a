// What hostile clients leave behind in vardo: the daemon's anonymous
// memory after a warm-up and then every 500,000 inputs of the hostile stream
// of tests/e2e/hostile_wire.h, sent over real connections.
//
// hostile_bench [inputs, default 3000000 [warm-up inputs, default 200000 [seed]]]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/bench_util.h"
#include "bench/keeper_requests.h"
#include "tests/e2e/hostile_wire.h"

namespace {

const uint32_t kStep = 500000;

// The daemon has served everything sent so far once a listing comes back.
long settled_kb(int port, pid_t pid) {
    bench::print_ps_round_trips(port, 1, 0, 5e6);
    return hostile::anonymous_kb(pid);
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t inputs = argc > 1 ? static_cast<uint32_t>(atol(argv[1])) : 3000000;
    uint32_t warm_up = argc > 2 ? static_cast<uint32_t>(atol(argv[2])) : 200000;
    hostile::Rng rng(argc > 3 ? strtoull(argv[3], nullptr, 0) : 22);
    bench::ScratchHome home("hostile_bench");
    int port = bench::free_port();
    if (!home.ok() || !home.write_ini(port, std::string("[tasks/") + hostile::kPeerTask +
                                                "]\ntype = remote\nlevel = 1\nrestart = yes\n")) {
        fprintf(stderr, "no scratch home\n");
        return 1;
    }
    pid_t vardo = bench::start_vardo(BENCH_VARDO_PATH, home.path());
    int probe = bench::connect_keeper(port);
    if (probe < 0) {
        fprintf(stderr, "vardo did not start\n");
        bench::stop_child(vardo, 5000);
        return 1;
    }
    close(probe);
    printf("inputs      connections  anonymous (kB)  growth since warm-up (kB)  seconds\n");
    double t0 = bench::now_us();
    uint32_t connections = hostile::replay_inputs(port, rng, warm_up);
    long base = settled_kb(port, vardo);
    printf("%9u  %11u  %14ld  %25s  %7.1f\n", warm_up, connections, base, "(warm-up)",
           (bench::now_us() - t0) / 1e6);
    for (uint32_t done = 0; done < inputs;) {
        uint32_t step = std::min(kStep, inputs - done);
        connections += hostile::replay_inputs(port, rng, step);
        done += step;
        long now = settled_kb(port, vardo);
        printf("%9u  %11u  %14ld  %25ld  %7.1f\n", done, connections, now, now - base,
               (bench::now_us() - t0) / 1e6);
        fflush(stdout);
    }
    bench::stop_child(vardo, 5000);
    return 0;
}
