// Placeholder until the control thread and the tests land.
#include "monitor/monitor.h"

int32_t MemoryReportCountdown;
char CurrentDrivePath[12];
int32_t CurrentFreeMB;

DWORD WINAPI control_thread(LPVOID) { return 0; }
int ping_host(int) { return 0; }
void poll_hosts(const HostInterface*) {}
void test_memory(const HostInterface*) {}
