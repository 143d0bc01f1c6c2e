// Process entry: context, options, system facts, file streaming, then the build driver.
#pragma once

// Returns the process exit status: 1 for a strict run that found errors, else 0.
int driver_entry(int argc, char **argv);
