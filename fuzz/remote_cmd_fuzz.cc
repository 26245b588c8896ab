// The text path of remote commands (allowed check, cut, one blank after
// "cat"/"ls") against a plain model. Nothing that fails the check or holds
// a cut character may come out, and the 257-byte text is never left.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "remote.h"
#include "settings.h"

namespace {

const std::string CUT = ";|&`$\\\n\r<>", WHITE = " \t\n\v\f\r";
const size_t TEXT_SIZE = 257;

bool freeText(const std::string &s) { return s.rfind("cat ", 0) == 0 || s.rfind("ls ", 0) == 0; }

bool modelAllowed(const char *list, const std::string &text)
{
    if (freeText(text))
        return true;
    std::string l = list ? list : "", word = text.substr(0, text.find_first_of(WHITE));
    size_t at = l.find(word), end = at + word.size();
    return list && at != std::string::npos && (at == 0 || l[at - 1] == ',') &&
           (end == l.size() || l[end] == ',');
}

// The command that runs, or "" when none does.
std::string modelCommand(const char *list, const std::string &text)
{
    std::string cmd = modelAllowed(list, text) ? text.substr(0, text.find_first_of(CUT)) : "";
    if (!freeText(cmd))
        return cmd;
    size_t blank = cmd.find(' '), rest = cmd.find_first_not_of(WHITE, blank + 1);
    return rest == std::string::npos ? "" : cmd.substr(0, blank + 1) + cmd.substr(rest);
}

} // namespace

// Input: the -c list, a 0xFF byte, the client's text; without 0xFF, no list.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *in = reinterpret_cast<const char *>(data);
    const char *sep = static_cast<const char *>(memchr(in, 0xFF, size));
    std::string list(in, sep ? sep - in : 0), text(sep ? sep + 1 : in, in + size);
    text = text.substr(0, std::min(text.find('\0'), TEXT_SIZE - 1));
    acmd_list = sep ? list.c_str() : nullptr;

    char *buf = static_cast<char *>(malloc(TEXT_SIZE)); // exactly: ASan sees any overrun
    memset(buf, 'Z', TEXT_SIZE);
    memcpy(buf, text.c_str(), text.size() + 1);
    const char *cmd = RelayCommandText(buf);
    std::string want = modelCommand(acmd_list, text);
    if (cmd && (cmd < buf || cmd >= buf + TEXT_SIZE || !modelAllowed(acmd_list, text) ||
                strpbrk(cmd, CUT.c_str())))
        abort();
    if (cmd ? want.empty() || want != cmd : !want.empty())
        abort();
    free(buf);
    acmd_list = nullptr;
    return 0;
}
