#include "checks/probe_sender.h"

#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr int TokenDigits = ProbeTokenSize - 1;

// The part of sender between its angle brackets, if any.
void unbracket(const char*& text, size_t& length)
{
    length = strlen(text);
    if (length >= 2 && text[0] == '<' && text[length - 1] == '>') {
        ++text;
        length -= 2;
    }
}

int is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

void draw_probe_token(void* data, HANDLE)
{
    char* token = static_cast<char*>(data);
    token[0] = '\0';
    unsigned char bits[TokenDigits / 2];
    if (!random_bytes(bits, sizeof bits))
        return;
    static const char Digits[] = "0123456789abcdef";
    for (int i = 0; i < TokenDigits; ++i)
        token[i] = Digits[bits[i / 2] >> (i % 2 ? 0 : 4) & 15];
    token[TokenDigits] = '\0';
}

int format_probe_sender(char* sender, size_t size, const char* daemon_address, const char* token, uint32_t number)
{
    const char* at = strrchr(daemon_address, '@');
    if (at == nullptr || at == daemon_address || at[1] == '\0')
        return 0;
    return format_text(sender, size, "%.*s-%s-%u%s", static_cast<int>(at - daemon_address), daemon_address, token,
                       number, at);
}

int read_probe_sender(const char* sender, const char* daemon_address, const char* token, uint32_t* number)
{
    size_t length;
    unbracket(sender, length);
    const char* at = strrchr(daemon_address, '@');
    if (at == nullptr || at == daemon_address)
        return NotAProbe;
    size_t local = at - daemon_address, domain = strlen(at);
    // LOCAL, '-', the token, '-', at least one digit, then the domain.
    if (length < local + 1 + TokenDigits + 2 + domain || _strnicmp(sender, daemon_address, local) != 0 ||
        sender[local] != '-' || sender[local + 1 + TokenDigits] != '-' ||
        _strnicmp(sender + length - domain, at, domain) != 0)
        return NotAProbe;
    const char* digits = sender + local + 2 + TokenDigits;
    const char* end = sender + length - domain;
    uint64_t value = 0;
    for (const char* c = digits; c < end; ++c) {
        if (*c < '0' || *c > '9' || (value = value * 10 + (*c - '0')) > UINT32_MAX)
            return NotAProbe;
    }
    for (int i = 0; i < TokenDigits; ++i)
        if (!is_hex(sender[local + 1 + i]))
            return NotAProbe;
    if (token[0] == '\0' || _strnicmp(sender + local + 1, token, TokenDigits) != 0)
        return ProbeOfAnotherLife;
    *number = static_cast<uint32_t>(value);
    return ProbeOfThisLife;
}
