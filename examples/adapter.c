/*
 * A small adapter: starts the runtime from its configuration ("adapter.conf",
 * or the file given with -f) and runs the init thread's loop until SIGTERM,
 * which ends the process with code 0.
 */
#include <vantrix.h>

int main(int argc, char **argv)
{
    /* The runtime keeps the record for the life of the process. */
    static vn_init_t init;

    vn_config_init("adapter.conf", argc, argv);
    if (vn_init(&init, argc, argv) < 0)
        return 1;
    vn_loop();
    return 0;
}
