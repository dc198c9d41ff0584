// The memory check: logs the memory figures every cycle and reports short
// memory, the report spaced out by Suspend short cycles.
#pragma once

#include <cstdint>

struct HostInterface;

void test_memory(const HostInterface* host);

// Short-memory cycles still to pass before the next memory report.
extern int32_t MemoryReportCountdown;

// The figures of the last test, for what the end of a cycle tells; guarded
// by the settings lock.
struct MemoryReading {
    int Read;            // a test has run in this life
    int32_t PhysicalMB;  // available physical memory
    int32_t PagedMB;     // available page-file memory
    int32_t AvailableMB; // the figure judged against MemoryLimit
    int Short;
};
extern MemoryReading MemoryFigures;
