// The roles that the harness tests start, each the real runtime in a process
// of its own: `role_node ROLE ROOT PORT [SIGNAL]`.
//   publisher   listens on PORT for its one subscriber;
//   subscriber  links to PORT and writes "linked" once the link is up;
//   silent      links to PORT and never writes;
//   signaller   as silent, and sends SIGNAL to its parent, the harness, once
//               its runtime has started.
#include "role_processes.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void on_peer_status(int, int status, int, void *)
{
    if (status == 256) {
        std::printf("linked\n");
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4)
        return 2;
    std::string role = argv[1];
    std::string port = argv[3];
    static vn_init_t init;
    if (role == "subscriber")
        init.recv_peer_status = on_peer_status;
    std::string conf = role == "publisher" ? publisher_conf(port) : subscriber_conf(port, false);
    return run_runtime(argv[0], argv[2], role, conf, &init, [&] {
        if (role == "signaller" && argc > 4)
            kill(getppid(), std::atoi(argv[4]));
    });
}
