// Program entry of hotbatch.
#include "app/run.h"

int main(int argc, char* argv[]) {
  return run_program(argc, argv);
}
