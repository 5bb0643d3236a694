// Signals: the user's and the system's requests to stop (SIGTERM, SIGHUP and SIGINT; Ctrl+C,
// Ctrl+Break and closing the console).
#pragma once

// Makes the platform's stop requests set the stop flag. A second request while a command runs
// ends the program at once with status 1.
void install_stop_handler();

// True once a stop was requested.
bool stop_requested();

// True once a stop request also asked the running commands to end: an interrupt (SIGINT) passed on
// to them, a second request, or on Windows any console event, which the console delivers to the
// commands themselves. A plain stop request (SIGTERM, SIGHUP) lets them run out.
bool interrupt_requested();
