// The text path of remote commands: allowed check, cut and one blank after
// "cat"/"ls", against a plain model. Whatever would reach popen must have
// passed the allowed check, hold no cut character, and lie within the
// 257-byte text, which the check and the rewrite must not leave.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "remote.h"
#include "settings.h"

namespace {

const std::string CUT = ";|&`$\\\n\r<>", WHITE = " \t\n\v\f\r";
const size_t TEXT_SIZE = 257; // a client's text and its terminator

bool startsWith(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

bool modelAllowed(const char *list, const std::string &text)
{
    if (startsWith(text, "cat ") || startsWith(text, "ls "))
        return true;
    if (!list)
        return false;
    std::string l = list, word = text.substr(0, text.find_first_of(WHITE));
    size_t at = l.find(word);
    if (at == std::string::npos)
        return false;
    size_t end = at + word.size();
    return (at == 0 || l[at - 1] == ',') && (end == l.size() || l[end] == ',');
}

// The command to run; false when nothing runs.
bool modelCommand(const char *list, const std::string &text, std::string *cmd)
{
    if (!modelAllowed(list, text))
        return false;
    *cmd = text.substr(0, text.find_first_of(CUT));
    if (cmd->empty())
        return false;
    if (!startsWith(*cmd, "cat ") && !startsWith(*cmd, "ls "))
        return true;
    size_t blank = cmd->find(' ');
    size_t rest = cmd->find_first_not_of(WHITE, blank + 1);
    if (rest == std::string::npos)
        return false;
    *cmd = cmd->substr(0, blank + 1) + cmd->substr(rest);
    return true;
}

} // namespace

// Input: the -c list, a 0xFF byte, then the client's text; without the
// 0xFF byte there is no list and all of the input is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *sep = static_cast<const uint8_t *>(memchr(data, 0xFF, size));
    std::string list_text = sep ? std::string(reinterpret_cast<const char *>(data), sep - data) : "";
    size_t at = sep ? sep - data + 1 : 0;
    std::string text(reinterpret_cast<const char *>(data) + at, size - at);
    text = text.substr(0, std::min(text.find('\0'), TEXT_SIZE - 1));
    acmd_list = sep ? list_text.c_str() : nullptr; // a list with a NUL ends there, as on the command line

    char *buf = static_cast<char *>(malloc(TEXT_SIZE));
    memcpy(buf, text.c_str(), text.size() + 1);
    memset(buf + text.size() + 1, 'Z', TEXT_SIZE - text.size() - 1); // stale bytes after the text
    const char *cmd = RelayCommandText(buf);
    std::string want;
    bool runs = modelCommand(acmd_list, text, &want);
    if (cmd) {
        if (cmd < buf || cmd >= buf + TEXT_SIZE || !modelAllowed(acmd_list, text))
            abort();
        if (strpbrk(cmd, CUT.c_str()) || !runs || want != cmd)
            abort();
    } else if (runs) {
        abort();
    }
    free(buf);
    acmd_list = nullptr;
    return 0;
}
