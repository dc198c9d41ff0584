#include "monitor/monitor.h"

int32_t MemoryReportCountdown;
char CurrentDrivePath[12];
int32_t CurrentFreeMB;
