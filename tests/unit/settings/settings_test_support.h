// Shared by the settings tests: a fixture with its own working folder.
#pragma once

#include <cstdio>
#include <string>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "settings/settings.h"
#include "test_support.h"

class SettingsTest : public HostTest {
protected:
    TempDir dir;

    // Replaces korval.ini with exactly these bytes.
    void write_file(const std::string& text)
    {
        FILE* f = fopen(dir.file("korval.ini").c_str(), "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }

    // Gives Failures a real handle, so that its bumps can be counted.
    void register_failures()
    {
        StatHandle module = host_register_module_statistics(host(), "HostStatus");
        Failures = host_register_statistic(host(), module, "Failures");
    }
};
