// monitor.h: what the files of the monitoring module share.
#ifndef VANTRIX_MONITOR_H
#define VANTRIX_MONITOR_H

#include "vantrix_private.h"

// monitor.cpp: frees every template; option registration starts afresh.
void monitor_clear_templates();

// monitor_auth.cpp: registers the add-monuser group.
void monitor_auth_config_init();
// monitor_auth.cpp: the log that access decisions go to.
void monitor_auth_init(vn_log_t *log);

#endif
