#include "driver/driver_build.h"

#include "base/base_format.h"

void
driver_services_init(void) {}

void
driver_run(OptionTable *options) {
  if (option_value(options, str_lit("target_path")).length == 0) {
    console_printf("No file to parse provided, use 'target_path' argument\n");
  }
}
