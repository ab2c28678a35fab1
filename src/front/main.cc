#include "front/driver.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  arguments_as_utf8(&argc, &argv);
  return run_quillfen(argc, argv);
}
