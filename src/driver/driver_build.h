// The build driver: set-up, discovery, per-file pipelines, rounds and page reports.
#pragma once

#include "driver/driver_options.h"

// Content registry, file streaming and (later) the HTTP library's global start.
void driver_services_init(void);
void driver_run(OptionTable *options);
