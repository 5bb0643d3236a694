// Program entry of hotbatch.
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char* argv[]) {
  // Every argument in UTF-8, whatever code page the system uses for the 8-bit ones.
  std::vector<std::string> arguments = program_arguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) {
    pointers.push_back(&argument[0]);
  }
  pointers.push_back(nullptr);
  return run_program(static_cast<int>(arguments.size()), pointers.data());
}
