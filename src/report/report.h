// Report mails: one event becomes a full-text message for the mail
// recipients and a short one for the SMS gateways, each a job of the host.
#pragma once

#include <cstdint>

#include "host/host_interface.h"

enum ReportKind { Host = 0, Memory = 1, DiskSpace = 2, DiskAvailability = 3 };
enum Channel { MailChannel = 0, SmsChannel = 1 };

// Sends the report to the mail recipients, then to the SMS recipients.
void send_report(int kind, int32_t a, int32_t b);
