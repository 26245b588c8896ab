// The text of a remote command: the allowed check, the cut before the
// first character that could start a second command, and one blank after
// "cat" and "ls".
#include <string.h>

#include "remote.h"
#include "settings.h"

// Separators, pipes, background, substitutions, escapes, line ends and
// redirections: whatever could run or change more than the one command.
static const char CUT_SET[] = ";|&`$\\\n\r<>";
static const char WHITE[] = " \t\n\v\f\r";

// "cat " and "ls " texts run without a check: a debug port by design.
static int needsNoCheck(const char *text)
{
    return strncmp(text, "cat ", 4) == 0 || strncmp(text, "ls ", 3) == 0;
}

// Only the first occurrence of the word in the list counts: with
// tcpdump,dump the word dump is refused. An empty word (a text that begins
// with white space) occurs first at the start of the list.
int is_cmd_valid(const char *text)
{
    if (!acmd_list)
        return 0;
    size_t word = strcspn(text, WHITE);
    size_t len = strlen(acmd_list);
    const char *at = word ? (const char *)memmem(acmd_list, len, text, word) : acmd_list;
    if (!at)
        return 0;
    int starts = at == acmd_list || at[-1] == ',';
    char after = at[word];
    return starts && (after == '\0' || after == ',');
}

// "cat   x" becomes "cat x", in place: the rebuilt text is never longer.
// The rest after the blanks stays as it is. Null when only blanks follow.
static char *oneBlank(char *cmd)
{
    size_t word = strcspn(cmd, " ");
    const char *rest = cmd + word + 1;
    while (*rest && strchr(WHITE, *rest))
        rest++;
    if (!*rest)
        return NULL;
    memmove(cmd + word + 1, rest, strlen(rest) + 1);
    return cmd;
}

// The command is what stands before the first cut character, even when
// that is nothing: skipping leading cut characters would let a text such
// as newline-then-command, whose empty first word a list beginning with a
// comma allows, run the command behind them.
char *RelayCommandText(char *text)
{
    if (!needsNoCheck(text) && !is_cmd_valid(text))
        return NULL;
    text[strcspn(text, CUT_SET)] = '\0';
    if (!*text)
        return NULL;
    return needsNoCheck(text) ? oneBlank(text) : text;
}
