#include "front/driver.h"

int main(int argc, char** argv) {
  return run_quillfen(argc, argv);
}
