// Helpers shared by the unit tests: a temporary working folder for real INI
// files, and a fixture that gives every test a fresh fake host, fresh daemon
// state and the real platform table back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host_core.h"
#include "platform/platform.h"

// A fresh folder that is the current directory while the object lives.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;     // Windows path, no trailing backslash
    std::string previous;
    std::string file(const std::string& name) const { return path + "\\" + name; }
};

// Writes korval.ini lines into the current directory's korval.ini through
// the profile functions.
void write_ini(const char* section, const char* key, const char* value);
std::string read_ini(const char* section, const char* key);

// Log lines of the fake host as "category priority text", in order.
std::vector<std::string> logged();

// Puts every process-wide value of the daemon back to its load-time value.
void reset_daemon_state();

class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    HostInterface* host() { return standin_record(); }
};
