/*
 * A caller of the managed-language accessors, run by the tests. It uses the
 * library the way a wrapper in a managed language does: plain calls only,
 * records read and written through the accessors. It starts the runtime from
 * "caller.conf" with vn_init_dotnet, its start-up record naming an event log
 * file when the first argument is "logfile" (and none for "eventlog"), and
 * with no message callback when the second argument is "nocb". It prints
 * every message the callback receives as "cb LEVEL TEXT" and each accessor
 * result as "name=value".
 */
#include <vantrix.h>

#include <limits.h>
#include <stdio.h>
#include <string.h>

static void on_message(int level, const char *text)
{
    printf("cb %d %s", level, text);
}

static void print_field(vn_data_t *data, int index)
{
    const char *value = vn_get_fieldvalue_atindex(data, index);
    int number = vn_get_fieldnumber_atindex(data, index);
    printf("field[%d]=%s ", index, value != NULL ? value : "null");
    if (number == INT_MIN)
        printf("INT_MIN");
    else
        printf("%d", number);
    printf(" 0x%x\n", (unsigned)vn_get_fieldflags_atindex(data, index));
}

static void use_a_record(void)
{
    vn_data_t *data = vn_init_data("FEED.SUBJECT", 222, 0x1000);
    vn_add_data_with_flags(data, 22, "twenty-two", 0x12345);
    vn_add_data_with_flags(data, -7, "minus seven", 1);
    printf("subject=%s\n", vn_get_subject(data));
    printf("type=%d\n", vn_get_type(data));
    printf("flags=0x%x\n", (unsigned)vn_get_flags(data));
    vn_set_flags(data, 0x12345);
    printf("flags_set=0x%x\n", (unsigned)vn_get_flags(data));
    printf("fields=%d\n", vn_get_num_fields(data));
    for (int index = -1; index <= vn_get_num_fields(data); index++)
        print_field(data, index);
    vn_free_data(data);
}

int main(int argc, char **argv)
{
    /* The wrapper's record: the runtime keeps its own copy. */
    static vn_init_t init;
    int with_logfile = argc > 1 && strcmp(argv[1], "logfile") == 0;
    int with_callback = !(argc > 2 && strcmp(argv[2], "nocb") == 0);
    init.application_name = "caller";
    if (with_logfile)
        init.logfile = "dotnet-event.log";

    vn_config_init("caller.conf", argc, argv);
    if (vn_init_dotnet(&init, argc, argv, with_callback ? on_message : NULL) < 0)
        return 1;
    printf("log_kept=%d\n", init.log != NULL && init.log == vn_get_event_log());
    printf("peers=%d\n", vn_get_num_peers());
    use_a_record();
    vn_log_dotnet(6, "hello from the wrapper");
    vn_log_dotnet(7, "below the log level");
    vn_log_dotnet(2 | 0x400, "with a flag");
    return 0;
}
