// The stand-in's own lines on the console, apart from the daemon's log.
#pragma once

// "standin: TEXT" on one line. One write per line, so that the daemon's log
// lines from its own thread never land inside it.
__attribute__((format(gnu_printf, 1, 2))) void note(const char* format, ...);
