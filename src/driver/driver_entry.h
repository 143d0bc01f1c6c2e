// Process entry: context, options, system facts, file streaming, then the build driver.
#pragma once

// Returns the process exit status (always 0).
int driver_entry(int argc, char **argv);
