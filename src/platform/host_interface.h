// The mail server's daemon interface record, as the daemon uses it.
//
// The host passes a byte-packed record: its size at byte 0, the API version
// at bytes 4 and 5, and from byte 10 a table of 32-bit pointers to cdecl
// operations, slot k at byte 10 + 4k. Only the slots below are called; the
// highest sits at byte 362, so a usable record has at least 366 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma pack(push, 1)
struct HostInterface {
    uint32_t size;
    uint8_t version_major;
    uint8_t version_minor;
    uint8_t reserved[4];
    uint32_t slots[89];
};
#pragma pack(pop)

// Slot numbers of the operations the daemon calls (byte offset = 10 + 4 * slot).
enum HostSlot {
    SlotGetHostValue = 0,
    SlotMakeUniqueId = 9,
    SlotModuleState = 12,
    SlotCloseJob = 17,
    SlotGetJobInfo = 23,
    SlotCreateJob = 24,
    SlotAddRecipient = 25,
    SlotWriteJobText = 26,
    SlotAliasOp = 47,
    SlotFormatDate = 48,
    SlotRegisterModuleStatistics = 78,
    SlotRegisterStatistic = 80,
    SlotBumpStatistic = 82,
    SlotLogText = 87,
    SlotLogFormat = 88,
};

constexpr size_t slot_offset(int slot) { return offsetof(HostInterface, slots) + 4u * slot; }

static_assert(sizeof(void*) == 4, "the host record holds 32-bit pointers");
static_assert(offsetof(HostInterface, size) == 0);
static_assert(offsetof(HostInterface, version_major) == 4);
static_assert(offsetof(HostInterface, version_minor) == 5);
static_assert(slot_offset(SlotGetHostValue) == 10);
static_assert(slot_offset(SlotMakeUniqueId) == 46);
static_assert(slot_offset(SlotModuleState) == 58);
static_assert(slot_offset(SlotCloseJob) == 78);
static_assert(slot_offset(SlotGetJobInfo) == 102);
static_assert(slot_offset(SlotCreateJob) == 106);
static_assert(slot_offset(SlotAddRecipient) == 110);
static_assert(slot_offset(SlotWriteJobText) == 114);
static_assert(slot_offset(SlotAliasOp) == 198);
static_assert(slot_offset(SlotFormatDate) == 202);
static_assert(slot_offset(SlotRegisterModuleStatistics) == 322);
static_assert(slot_offset(SlotRegisterStatistic) == 330);
static_assert(slot_offset(SlotBumpStatistic) == 338);
static_assert(slot_offset(SlotLogText) == 358);
static_assert(slot_offset(SlotLogFormat) == 362);

constexpr uint32_t HostInterfaceMinSize = 366;
static_assert(sizeof(HostInterface) == HostInterfaceMinSize);

// Size of the job information buffer filled by get_job_info; the envelope
// sender pointer sits at byte 10.
constexpr size_t JobInfoSize = 124;
constexpr size_t JobInfoSenderOffset = 10;

// Host operation types: cdecl, 32-bit arguments, one 32-bit result.
typedef void* Job;
typedef intptr_t StatHandle;
typedef const char* (*GetHostValueFn)(int selector);
typedef int (*MakeUniqueIdFn)(char* buffer40);
typedef int (*ModuleStateFn)(const char* name, int operation, int value);
typedef int (*CloseJobFn)(Job job);
typedef int (*GetJobInfoFn)(Job job, void* info124);
typedef Job (*CreateJobFn)(int zero, const char* sender, int zero2);
typedef int (*AddRecipientFn)(Job job, const char* address);
typedef int (*WriteJobTextFn)(Job job, const char* text);
typedef int (*AliasOpFn)(int operation, const void* operand1, const void* operand2);
typedef const char* (*FormatDateFn)(int zero, char* buffer40, int zero2);
typedef StatHandle (*RegisterModuleStatisticsFn)(const char* module);
typedef StatHandle (*RegisterStatisticFn)(StatHandle module, const char* name, int a, int b, int c, int d);
typedef int (*BumpStatisticFn)(StatHandle category, int amount);
typedef int (*LogTextFn)(int category, int priority, const char* text);
typedef int (*LogFormatFn)(int category, int priority, const char* format, ...);

// Alias operations of alias_op.
enum { AliasAdd = 2, AliasDelete = 3, AliasLookup = 4 };
// Selectors of get_host_value.
enum { HostValueDomain = 3, HostValueOwnerWindow = 6 };

// The record is packed, so slots are read byte-wise rather than through an
// unaligned pointer.
template <typename Fn>
inline Fn host_op(const HostInterface* h, int slot)
{
    Fn fn;
    static_assert(sizeof(fn) == 4);
    std::memcpy(&fn, reinterpret_cast<const unsigned char*>(h) + slot_offset(slot), sizeof(fn));
    return fn;
}

// A record the daemon may call through: present and long enough to hold
// every slot it uses. Anything shorter is refused by every entry point
// before a single call is made through it.
inline bool host_record_usable(const HostInterface* h)
{
    return h != nullptr && h->size >= HostInterfaceMinSize;
}

// Typed calls, one per operation.
inline const char* host_get_value(const HostInterface* h, int selector)
{
    return host_op<GetHostValueFn>(h, SlotGetHostValue)(selector);
}
inline void host_make_unique_id(const HostInterface* h, char* buffer40)
{
    host_op<MakeUniqueIdFn>(h, SlotMakeUniqueId)(buffer40);
}
inline int host_module_state(const HostInterface* h, const char* name, int operation, int value)
{
    return host_op<ModuleStateFn>(h, SlotModuleState)(name, operation, value);
}
inline void host_close_job(const HostInterface* h, Job job)
{
    host_op<CloseJobFn>(h, SlotCloseJob)(job);
}
inline int host_get_job_info(const HostInterface* h, Job job, void* info124)
{
    return host_op<GetJobInfoFn>(h, SlotGetJobInfo)(job, info124);
}
inline Job host_create_job(const HostInterface* h, const char* sender)
{
    return host_op<CreateJobFn>(h, SlotCreateJob)(0, sender, 0);
}
inline int host_add_recipient(const HostInterface* h, Job job, const char* address)
{
    return host_op<AddRecipientFn>(h, SlotAddRecipient)(job, address);
}
inline void host_write_job_text(const HostInterface* h, Job job, const char* text)
{
    host_op<WriteJobTextFn>(h, SlotWriteJobText)(job, text);
}
inline int host_alias_op(const HostInterface* h, int operation, const void* operand1, const void* operand2)
{
    return host_op<AliasOpFn>(h, SlotAliasOp)(operation, operand1, operand2);
}
inline const char* host_format_date(const HostInterface* h, char* buffer40)
{
    return host_op<FormatDateFn>(h, SlotFormatDate)(0, buffer40, 0);
}
inline StatHandle host_register_module_statistics(const HostInterface* h, const char* module)
{
    return host_op<RegisterModuleStatisticsFn>(h, SlotRegisterModuleStatistics)(module);
}
inline StatHandle host_register_statistic(const HostInterface* h, StatHandle module, const char* name)
{
    return host_op<RegisterStatisticFn>(h, SlotRegisterStatistic)(module, name, 1, 0, 4, 1);
}
// Keeps the daemon's own tally of its Failures bumps, which the status file
// shows; the host's count cannot be read back.
void tally_statistic(StatHandle category);
inline void host_bump_statistic(const HostInterface* h, StatHandle category)
{
    tally_statistic(category);
    host_op<BumpStatisticFn>(h, SlotBumpStatistic)(category, 1);
}
inline void host_log_text(const HostInterface* h, int category, int priority, const char* text)
{
    host_op<LogTextFn>(h, SlotLogText)(category, priority, text);
}
// The format must be one of the daemon's own literals; hostile text goes in
// as an argument of "%s". The macro lets the compiler check every format
// against its arguments; the check is never run, so each argument is
// evaluated once, by the call through the record.
template <typename... Args>
inline void host_log_format_call(const HostInterface* h, int category, int priority, const char* format, Args... args)
{
    host_op<LogFormatFn>(h, SlotLogFormat)(category, priority, format, args...);
}
inline void host_log_format_check(const char*, ...) __attribute__((format(gnu_printf, 1, 2)));
inline void host_log_format_check(const char*, ...) {}
#define host_log_format(h, category, priority, ...)                     \
    do {                                                                \
        if (false)                                                      \
            host_log_format_check(__VA_ARGS__);                         \
        host_log_format_call(h, category, priority, __VA_ARGS__);       \
    } while (0)
