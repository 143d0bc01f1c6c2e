// Process start-up in its fixed order.
#include "driver/driver_entry.h"

#include "base/base_format.h"

#include "driver/driver_build.h"
#include "driver/driver_cli.h"
#include "driver/driver_options.h"
#include "net/net_http.h"
#include "os/os_core.h"

int
driver_entry(int argc, char **argv) {
  //- main thread context
  ThreadContext ctx = thread_context_create();
  ctx.is_main_thread = 1;
  thread_context_set(&ctx);
  thread_set_name("[Main Thread]");
  if (!os_stderr_is_terminal()) console_buffer_errors();

  //- options, on the first scratch arena for the life of the process
  Arena *arena = ctx.scratch[0];
  StrList args = {};
  if (argc > 1) args = options_args_from_argv(arena, argc, argv);
  //- "init DIR" writes a starter site and nothing else
  if (args.node_count && str_equal(args.first->string, str_lit("init"))) {
    os_process_init();
    int status = args.node_count == 2 ? driver_init(args.first->next->string) : driver_init(StrView{});
    thread_context_set(0);
    thread_context_release(&ctx);
    return status;
  }
  args = driver_serve_shorthand(arena, args);
  OptionTable options = options_parse(arena, args);
  if (driver_answer_help_or_version(&options)) {
    thread_context_set(0);
    thread_context_release(&ctx);
    return 0;
  }
  StrList problems = {};
  driver_report_unknown_options(&options, arena, &problems);
  //- a stop signal removes the temporary files of the run, before any thread starts
  os_stop_signals_catch();

  //- system facts, record pools, file streaming
  os_process_init();
  FileService *files = fs_start();

  //- the build; under strict the status says whether it found something (1) or could not
  //  do what was asked (2)
  int status = driver_run(files, &options, &problems);

  thread_context_set(0);
  thread_context_release(&ctx);
  return status;
}
