/*
 * A publishing adapter, run by the tests as its own process: it starts the
 * runtime from "publisher.conf" in the current directory and answers every
 * request with data, the way an adapter behind the active cache or delay
 * channels does. Subjects steer the answer: one naming "none/" gets none,
 * "nodata/" a no-data (reason 1), "status/" data and then a status
 * (flags 1, code 7, "fine"); anything else data with field 1 "answer-N".
 * With the argument "norequest" it has no request callback.
 *
 * It prints what reaches its callbacks as lines ("request PEER FLAGS SUBJECT...",
 * "discard PEER FLAGS SUBJECT...", "peer PEER STATUS") and takes commands on
 * its standard input, one per line: "publish SUBJECT VALUE", "nodata SUBJECT
 * FLAGS", "status SUBJECT CODE TEXT" and "ping N" (answered "pong N" once
 * everything before it has run).
 */
#include <vantrix.h>
#include <vantrix_extra.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int answers;

static int mentions(const char *text, const char *part)
{
    return strstr(text, part) != NULL;
}

static void publish(const char *subject, const char *value)
{
    vn_data_t *data = vn_init_data(subject, 222, 0);
    vn_add_data(data, 1, value);
    vn_send_data(data);
}

static void answer(const char *subject)
{
    char value[32];
    if (mentions(subject, "none/"))
        return;
    if (mentions(subject, "nodata/")) {
        vn_send_nodata(subject, 1);
        return;
    }
    snprintf(value, sizeof value, "answer-%d", ++answers);
    publish(subject, value);
    if (mentions(subject, "status/"))
        vn_send_status(subject, 1, 7, "fine");
}

static void print_subjects(const char *what, int peer, int count, char **subjects, uint16_t flags)
{
    printf("%s %d %u", what, peer, (unsigned)flags);
    for (int i = 0; i < count; i++)
        printf(" %s", subjects[i]);
    printf("\n");
}

static void on_request(int peer, int count, char **subjects, uint16_t flags)
{
    /* The slot after the subjects holds the flags, as in every request delivery. */
    if ((uintptr_t)subjects[count] != flags)
        printf("bad flags slot\n");
    print_subjects("request", peer, count, subjects, flags);
    for (int i = 0; i < count; i++)
        answer(subjects[i]);
}

static void on_discard(int peer, int count, char **subjects, uint16_t flags)
{
    print_subjects("discard", peer, count, subjects, flags);
}

static void on_peer_status(int peer, int status, int value, void *data)
{
    (void)value;
    (void)data;
    printf("peer %d %d\n", peer, status);
}

static void run_command(char *line)
{
    char *word = strtok(line, " ");
    char *first = strtok(NULL, " ");
    char *second = strtok(NULL, "");
    if (word == NULL)
        return;
    if (strcmp(word, "ping") == 0)
        printf("pong %s\n", first != NULL ? first : "");
    else if (first == NULL)
        printf("bad command %s\n", word);
    else if (strcmp(word, "publish") == 0)
        publish(first, second != NULL ? second : "");
    else if (strcmp(word, "nodata") == 0)
        vn_send_nodata(first, (uint16_t)atoi(second != NULL ? second : "1"));
    else if (strcmp(word, "status") == 0 && second != NULL) {
        char *text = strchr(second, ' ');
        if (text != NULL)
            *text++ = '\0';
        vn_send_status(first, 1, (uint16_t)atoi(second), text != NULL ? text : "");
    } else
        printf("bad command %s\n", word);
}

/* Commands arrive whole lines at a time; a line may be split across reads. */
static int on_input(sock_t fd, int value, void *data)
{
    static char pending[4096];
    static size_t used;
    (void)value;
    (void)data;
    ssize_t got = read(fd, pending + used, sizeof pending - 1 - used);
    if (got <= 0)
        exit(0);
    used += (size_t)got;
    pending[used] = '\0';
    char *start = pending;
    char *end;
    while ((end = strchr(start, '\n')) != NULL) {
        *end = '\0';
        run_command(start);
        start = end + 1;
    }
    used = strlen(start);
    memmove(pending, start, used + 1);
    return 1;
}

int main(int argc, char **argv)
{
    static vn_init_t init;
    setvbuf(stdout, NULL, _IOLBF, 0);
    init.application_name = "publisher";
    init.logfile = "event.log";
    if (!(argc > 1 && strcmp(argv[1], "norequest") == 0))
        init.recv_request = on_request;
    init.recv_discard = on_discard;
    init.recv_peer_status = on_peer_status;
    vn_config_init("publisher.conf", argc, argv);
    if (vn_init(&init, argc, argv) < 0)
        return 1;
    vn_add_read_event(0, on_input, 0, NULL);
    printf("ready\n");
    vn_loop();
    return 0;
}
