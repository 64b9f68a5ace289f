// What orvel can be told and what it answers with: its commands, options
// and exit statuses, each written once here. --help and the usage line of
// a wrong call are made from these tables; the man page and the bash
// completion are checked against --help by the orvel_reference test.
#pragma once

#include <string>

enum ExitStatus {
    EXIT_DONE = 0,
    EXIT_INSTRUMENT = 1,   // not found, no reply, no data, transfer error, line lost, too long
    EXIT_USAGE = 2,
    EXIT_FILE = 3,         // cannot create or write, or exists without --overwrite
    EXIT_HANGUP = 129,     // the terminal went away (SIGHUP)
    EXIT_INTERRUPTED = 130,
};

// One line: what a wrong call is told after its reason.
std::string UsageLine();
// --help: the usage, one line per command, option and exit status, and
// where the reference is (on Windows the guide, where no man page ships).
std::string HelpText(const char* szReference);
