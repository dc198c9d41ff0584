// The Internet checks' line in the heartbeat and in the digest.
#include "status/internet_line.h"

#include "platform/text.h"

void write_internet_line(Job job, const InternetFacts& f, int digest)
{
    if (!f.On)
        return;
    static const char* const Words[] = {"not checked yet", "wrong", "right"};
    if (!digest) {
        write_line(job, "Internet: listed on %d of %d blocklist%s, %d unusable; reverse DNS %s; MX %s.",
                        f.Listed, f.Lists, plural(f.Lists), f.Unusable, Words[(f.Reverse + 1) % 3],
                        Words[(f.Mx + 1) % 3]);
        return;
    }
    write_formatted(job, "Internet: %u round%s", f.Rounds, plural(f.Rounds));
    if (f.ListedRounds)
        write_formatted(job, "; listed in %u (%s)", f.ListedRounds, f.ListedNames);
    if (f.UnusableRounds)
        write_formatted(job, "; a list unusable in %u (%s)", f.UnusableRounds, f.UnusableNames);
    if (f.ReverseWrongRounds)
        write_formatted(job, "; reverse DNS wrong in %u", f.ReverseWrongRounds);
    if (f.MxWrongRounds)
        write_formatted(job, "; MX wrong in %u", f.MxWrongRounds);
    write_line(job, "%s.", f.ListedRounds + f.UnusableRounds + f.ReverseWrongRounds + f.MxWrongRounds
                                        ? ""
                                        : ", all right");
}
