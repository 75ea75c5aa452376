// The /dev/poll back-end exists only where the system has /dev/poll; on
// Linux it never starts, so choosing it alone leaves no usable back-end.
#include "event.h"

int _vn_event_devpoll_init(event_module_functions_t *)
{
    return 0;
}
