// The plan at work: the stand-in patches the loaded daemon's imports of
// the ICMP echo, the name look-up, the address parser, connect and the
// free-space query, and answers for every host, service and drive of the
// plan as its rule for the current poll cycle says (plan_file.h).
#pragma once

#include <windows.h>

#include <string>

// Reads the plan file and notes the loopback address given to each host;
// empty on success, else what is wrong with it.
std::string plan_load(const std::string& path);

// Returns how many import entries were patched; nothing without a plan.
int plan_patch(HMODULE module);

// A life begins: its first poll cycle is cycle 1.
void plan_life_begins();
