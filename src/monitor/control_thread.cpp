// Placeholder until the control thread lands.
#include "monitor/monitor.h"

DWORD WINAPI control_thread(LPVOID) { return 0; }
int pause_after_item() { return 0; }
