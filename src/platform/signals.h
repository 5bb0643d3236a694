// Signals: the user's and the system's requests to stop (SIGINT and SIGTERM; Ctrl+C, Ctrl+Break
// and closing the console).
#pragma once

// Makes the platform's stop requests set the stop flag. A second request while a command runs
// ends the program at once with status 1.
void install_stop_handler();

// True once a stop was requested.
bool stop_requested();
