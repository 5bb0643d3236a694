// Start-up and run control: reads the command line, then runs one pass or passes forever.
#pragma once

// Exit statuses of the program.
enum ExitStatus : int {
  EXIT_DONE = 0,            // a single pass finished, or a stop was requested
  EXIT_STARTUP_ERROR = 1,   // usage screen, wrong operands, bad -d, command too long
  EXIT_COMMANDS_ENDED = 1,  // a second stop request ended running commands
};

// The whole program: returns the exit status. Changes the working folder.
int run_program(int argc, char* argv[]);
