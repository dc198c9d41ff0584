#include "monitor/monitor.h"

int32_t MemoryReportCountdown;
