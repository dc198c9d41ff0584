// Placeholder until report dispatch lands.
#include "report/report.h"

void send_report(int, int32_t, int32_t) {}
