// The report recipients: the Mail line split into full-text mail addresses
// and SMS-gateway addresses (written with ':' where the '@' belongs).
#include <cstring>

#include "platform/text.h"
#include "settings/settings.h"

int next_address(char* out, size_t out_size, char* list)
{
    if (list[0] == '\0')
        return 0;
    // The first character never ends an address, so a separator standing
    // first is kept as part of the address and no address is empty.
    int quoted = 0;
    size_t end = 0;
    for (; list[end] != '\0'; ++end) {
        char c = list[end];
        if (c == '"')
            quoted = !quoted;
        else if (end > 0 && !quoted && (c == ',' || c == ';'))
            break;
    }
    size_t n = end < out_size ? end : out_size - 1;
    memcpy(out, list, n);
    out[n] = '\0';
    if (list[end] == '\0')
        list[0] = '\0';
    else
        memmove(list, list + end + 1, strlen(list + end + 1) + 1);
    return 1;
}

namespace {

void add_recipient(char (&slots)[MaxRecipients][AddressSize], int& count, char (&display)[ListSize],
                   const char* address)
{
    if (display[0] != '\0')
        append_text(display, ",");
    append_text(display, address);
    copy_text(slots[count], address);
    ++count;
}

} // namespace

void build_recipients(RecipientLists& lists, const char* mail)
{
    char work[ListSize];
    copy_text(work, mail);
    lists.MailList[0] = '\0';
    lists.SmsList[0] = '\0';
    lists.MailCount = 0;
    lists.SmsCount = 0;
    int total = 0;
    char address[200];
    while (next_address(address, sizeof address, work)) {
        if (total == MaxRecipients)
            continue;
        // An address cut to its slot would be someone else's: it is dropped
        // like any other unusable item.
        if (strlen(address) >= AddressSize)
            continue;
        char* at = strrchr(address, '@');
        char* colon = strrchr(address, ':');
        if (at && (!colon || colon < at)) {
            ++total;
            add_recipient(lists.MailRecipients, lists.MailCount, lists.MailList, address);
        } else if (colon) {
            ++total;
            *colon = '@';
            add_recipient(lists.SmsRecipients, lists.SmsCount, lists.SmsList, address);
        }
    }
}

void parse_recipients()
{
    char mail[ListSize];
    lock_settings();
    copy_text(mail, Settings.Mail);
    unlock_settings();

    RecipientLists lists{};
    build_recipients(lists, mail);

    lock_settings();
    Recipients = lists;
    unlock_settings();
}
