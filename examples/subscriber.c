/*
 * The example subscriber: requests the subjects of its `subject` lines
 * through its data services and prints, one line each, what arrives: updates
 * with their fields, no-data replies, subject and service states, and peers
 * coming and going. With exit-after N it ends after N updates.
 *
 * Run it in examples/pubsub/subscriber (see the README).
 */
#include <vantrix.h>

#include <stdio.h>
#include <stdlib.h>

/* Options. */
static char **subjects;
static int num_subjects;
static int exit_after;

static int updates_seen;

static void on_update(int peer, vn_data_t *data)
{
    printf("update %d %s", peer, data->subject);
    for (int i = 0; i < data->count; i++)
        printf(" %d=%s", (int)data->fields[i].fieldnum, data->fields[i].value);
    printf("\n");
    fflush(stdout);
    if (exit_after > 0 && ++updates_seen >= exit_after)
        exit(0);
}

static void on_nodata(int peer, char *subject, uint16_t reason)
{
    printf("nodata %d %s %d\n", peer, subject, reason);
    fflush(stdout);
}

static void on_object_status(int peer, char *subject, int state, uint16_t code, char *message)
{
    printf("status %d %s %d %d %s\n", peer, subject, state, code, message != NULL ? message : "");
    fflush(stdout);
}

static void on_service_status(char *service, int state)
{
    printf("service %s %d\n", service, state);
    fflush(stdout);
}

static void on_peer_status(int peer, int status, int value, void *data)
{
    (void)value;
    (void)data;
    if (status == 256 || status == 512)
        printf("peer %d %s\n", peer, status == 256 ? "up" : "down");
    fflush(stdout);
}

int main(int argc, char **argv)
{
    /* The runtime keeps the record for the life of the process. */
    static vn_init_t init;

    vn_config_init("subscriber.conf", argc, argv);
    vn_config_add_array_option("subject", "Subjects to request", VN_CONFIG_STRING, &subjects, &num_subjects);
    vn_config_add_option(0, "exit-after", "End after this many updates (0: never)", VN_CONFIG_INT, &exit_after);
    init.recv_update = on_update;
    init.recv_nodata = on_nodata;
    init.recv_object_status = on_object_status;
    init.recv_service_status = on_service_status;
    init.recv_peer_status = on_peer_status;
    if (vn_init(&init, argc, argv) < 0)
        return 1;
    /* Sources that are not up yet are asked as soon as they come up. */
    for (int i = 0; i < num_subjects; i++) {
        const char *service = vn_request_object(subjects[i]);
        printf("requested %s %s\n", subjects[i], service != NULL ? service : "(no service)");
    }
    fflush(stdout);
    vn_loop();
    return 0;
}
