// Signals: the user's and the system's requests to stop (SIGTERM, SIGHUP and SIGINT; Ctrl+C,
// Ctrl+Break and closing the console).
#pragma once

// Makes the platform's stop requests set the stop flag. A second request asks the loop to end the
// running commands (see second_stop_requested); a third while a command runs ends the commands and
// the program at once, with one line and status 1.
void install_stop_handler();

// True once a stop was requested.
bool stop_requested();

// True once a second stop was requested: the loop ends the running commands, asking first.
bool second_stop_requested();

// True once a stop request also asked the running commands to end: an interrupt (SIGINT) passed on
// to them, a second request, or on Windows any console event, which the console delivers to the
// commands themselves. A plain stop request (SIGTERM, SIGHUP) lets them run out.
bool interrupt_requested();
