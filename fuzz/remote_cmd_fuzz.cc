// The text path of remote commands (allowed check, cut, one blank after
// "cat"/"ls") against a plain model; the 257-byte text is never left.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "remote.h"
#include "settings.h"

static bool freeText(const std::string &s) { return s.rfind("cat ", 0) == 0 || s.rfind("ls ", 0) == 0; }

// The command that runs, or "" when none does.
static std::string modelCommand(const char *list, const std::string &text)
{
    const char *white = " \t\n\v\f\r";
    std::string l = list ? list : "", word = text.substr(0, text.find_first_of(white));
    size_t at = l.find(word), end = at + word.size();
    if (!freeText(text) && !(list && at != std::string::npos && (at == 0 || l[at - 1] == ',') && (end == l.size() || l[end] == ',')))
        return "";
    std::string cmd = text.substr(0, text.find_first_of(";|&`$\\\n\r<>"));
    if (!freeText(cmd))
        return cmd;
    size_t blank = cmd.find(' '), rest = cmd.find_first_not_of(white, blank + 1);
    return rest == std::string::npos ? "" : cmd.substr(0, blank + 1) + cmd.substr(rest);
}

// Input: the -c list, a 0xFF byte, the client's text; without 0xFF, no list.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *in = reinterpret_cast<const char *>(data), *sep = static_cast<const char *>(memchr(in, 0xFF, size));
    std::string list(in, sep ? sep - in : 0), text(sep ? sep + 1 : in, in + size);
    text = text.substr(0, std::min(text.find('\0'), (size_t)256));
    acmd_list = sep ? list.c_str() : nullptr;
    char *buf = static_cast<char *>(malloc(257)); // exactly: ASan sees any overrun
    memset(buf, 'Z', 257);
    memcpy(buf, text.c_str(), text.size() + 1);
    const char *cmd = RelayCommandText(buf);
    if ((cmd && (cmd < buf || cmd >= buf + 257 || !*cmd)) || modelCommand(acmd_list, text) != (cmd ? cmd : ""))
        abort();
    free(buf);
    acmd_list = nullptr;
    return 0;
}
