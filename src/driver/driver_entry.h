// Process entry: context, options, system facts, file streaming, then the build driver.
#pragma once

// Returns the process exit status: 0 without strict; under strict 1 for findings, 2 when
// the run could not do what was asked.
int driver_entry(int argc, char **argv);
