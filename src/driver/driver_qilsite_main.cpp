// The qilsite executable.
#include "driver/driver_entry.h"

int
main(int argc, char **argv) {
  return driver_entry(argc, argv);
}
