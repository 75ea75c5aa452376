/*
 * The example publisher: a source peer. It answers each request with an image
 * of the subject and then sends an update of every requested subject each
 * update-interval seconds, until the subject is discarded. It prints the
 * requests and discards it receives, one line each.
 *
 * Run it in examples/pubsub/publisher (see the README).
 */
#include <vantrix.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_SUBJECTS 4096
#define FIELD_SEQUENCE 1
#define FIELD_BID 22
#define FIELD_ASK 25
#define FLAG_IMAGE 0x1000
#define RECORD_TYPE 222

static char *subjects[MAX_SUBJECTS];
static unsigned long sequences[MAX_SUBJECTS];
static int num_subjects;

/* Options. */
static double update_interval = 1.0;
static char answer_requests = 1;

static int find_subject(const char *subject)
{
    for (int i = 0; i < num_subjects; i++) {
        if (strcmp(subjects[i], subject) == 0)
            return i;
    }
    return -1;
}

/* Sends the next record of subject `index`: to one peer, or to all with peer -1. */
static void send_record(int peer, int index, uint16_t flags)
{
    unsigned long sequence = ++sequences[index];
    vn_data_t *data = vn_init_data(subjects[index], RECORD_TYPE, flags);
    vn_add_data_fmt(data, FIELD_SEQUENCE, "%lu", sequence);
    vn_add_data_fmt(data, FIELD_BID, "%.2f", 100.0 + (double)(sequence % 50) / 4);
    vn_add_data_fmt(data, FIELD_ASK, "%.2f", 100.25 + (double)(sequence % 50) / 4);
    if (peer < 0)
        vn_send_data(data);
    else
        vn_send_data_to_peer(peer, data);
}

static void on_request(int peer, int count, char **names, uint16_t flags)
{
    (void)flags;
    for (int i = 0; i < count; i++) {
        printf("request %d %s\n", peer, names[i]);
        if (!answer_requests)
            continue;
        int index = find_subject(names[i]);
        if (index < 0 && num_subjects < MAX_SUBJECTS) {
            index = num_subjects++;
            subjects[index] = strdup(names[i]);
            sequences[index] = 0;
        }
        if (index >= 0)
            send_record(peer, index, FLAG_IMAGE);
    }
    fflush(stdout);
}

static void on_discard(int peer, int count, char **names, uint16_t flags)
{
    (void)flags;
    for (int i = 0; i < count; i++) {
        printf("discard %d %s\n", peer, names[i]);
        int index = find_subject(names[i]);
        if (index < 0)
            continue;
        free(subjects[index]);
        num_subjects--;
        subjects[index] = subjects[num_subjects];
        sequences[index] = sequences[num_subjects];
    }
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

static int publish(int id, int value, void *data)
{
    (void)id;
    (void)value;
    (void)data;
    for (int i = 0; i < num_subjects; i++)
        send_record(-1, i, 0);
    return 1;
}

int main(int argc, char **argv)
{
    /* The runtime keeps the record for the life of the process. */
    static vn_init_t init;

    vn_config_init("publisher.conf", argc, argv);
    vn_config_add_option(0, "update-interval", "Seconds between two rounds of updates", VN_CONFIG_DOUBLE,
                         &update_interval);
    vn_config_add_option(0, "answer-requests", "Answer requests (false: a source that never replies)",
                         VN_CONFIG_BOOL, &answer_requests);
    init.recv_request = on_request;
    init.recv_discard = on_discard;
    init.recv_peer_status = on_peer_status;
    if (vn_init(&init, argc, argv) < 0)
        return 1;
    if (update_interval > 0)
        vn_add_timed_event(0, update_interval, publish, 0, NULL);
    vn_loop();
    return 0;
}
