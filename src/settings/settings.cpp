// Placeholder until the settings store lands.
#include "settings/settings.h"

int init_settings(const HostInterface*) { return 0; }
int load_settings() { return 0; }
void save_settings() {}
void log_settings(const HostInterface*) {}
void parse_recipients() {}
int next_address(char*, size_t, char*) { return 0; }
