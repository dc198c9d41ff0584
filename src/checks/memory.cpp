#include "checks/memory.h"

#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "report/ledger.h"
#include "report/report.h"
#include "settings/settings.h"

int32_t MemoryReportCountdown;
MemoryReading MemoryFigures;

namespace {

int32_t megabytes(SIZE_T bytes)
{
    return static_cast<int32_t>(static_cast<uint32_t>(bytes) >> 20);
}

} // namespace

void test_memory(const HostInterface* host)
{
    MEMORYSTATUS status{};
    status.dwLength = sizeof status;
    Platform.GlobalMemoryStatus(&status);
    int32_t available_phys = megabytes(status.dwAvailPhys);
    int32_t total_phys = megabytes(status.dwTotalPhys);
    int32_t available_paged = megabytes(status.dwAvailPageFile);
    int32_t total_paged = megabytes(status.dwTotalPageFile);
    host_log_format(host, 20, 25, "Physical memory available is %d MB from %d MB total.", available_phys, total_phys);
    host_log_format(host, 20, 25, "Paged memory available is%d MB from %d MB total.", available_paged, total_paged);

    // Without a page file the physical figures are all there is.
    bool paged = status.dwTotalPageFile != 0;
    int32_t available = paged ? available_paged : available_phys;
    int32_t total = paged ? total_paged : total_phys;

    // The countdown moves under the lock; the line and the report go out
    // after it.
    lock_settings();
    bool short_memory = available < Settings.MemoryLimit;
    bool report = false;
    if (short_memory) {
        if (MemoryReportCountdown != 0) {
            --MemoryReportCountdown;
        } else {
            report = true;
            // A negative Suspend must not stop the reports for good.
            MemoryReportCountdown = Settings.Suspend > 0 ? Settings.Suspend : 0;
        }
    }
    MemoryFigures = MemoryReading{1, available_phys, available_paged, available, short_memory};
    unlock_settings();
    if (short_memory)
        host_log_format(host, 20, 15, "Available memory is only %d MB from %d MB total.", available, total);
    if (report)
        send_report(Memory, available, total);
    else if (!short_memory)
        ledger_fine(Memory, available, total);
}
