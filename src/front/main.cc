#include "front/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  return exit_status_for(run_quillfen(argc, argv));
}
