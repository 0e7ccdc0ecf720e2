#include "driver/driver.h"
#include "driver/run_state.h"

int main(int argc, char** argv) {
  int code;
  {
    prepqdm::RunState run;
    prepqdm::Status status = prepqdm::RunPrepqdm(run, argc, argv);
    fflush(stdout);
    code = prepqdm::ExitCodeFromStatus(status);
  }
  return code;
}
