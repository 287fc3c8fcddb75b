// The order in which a program's process-wide objects are set up before its entry point, as
// init priorities: lower numbers run first, and the at-exit releases they register run in the
// reverse order. Across translation units and libraries the order of ordinary static
// initialisers is left to the link; these priorities fix it.
//
//   1 the release of the process logger is registered            (etwlogging/Logging.cpp)
//   2 the default library search is restricted to System32       (the program's entry file)
//   3 the foundation library's default log handler                (constant-initialised)
//   4 the installed trusted list, constructed for its path        (the program's entry file)
//   5 the release of the log builder is registered                (etwlogging/Logging.cpp)
//   6 the log identity's module is set to the program's image     (etwlogging/Logging.cpp)
//   7 the trace-controller signer names                           (constant-initialised)
//
// Steps 3 and 7 are constant data of the image: they exist before any initialiser runs.
#pragma once

#define HOLLIN_INIT_PRIORITY(step) __attribute__((init_priority(200 + (step))))

#define HOLLIN_INIT_PROCESS_LOGGER 1
#define HOLLIN_INIT_SAFE_DLL_SEARCH 2
#define HOLLIN_INIT_DEFAULT_LOG_HANDLER 3
#define HOLLIN_INIT_TRUSTED_LIST 4
#define HOLLIN_INIT_LOG_BUILDER 5
#define HOLLIN_INIT_LOG_MODULE 6
#define HOLLIN_INIT_CONTROLLER_SIGNERS 7
