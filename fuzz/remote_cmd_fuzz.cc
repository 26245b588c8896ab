// Remote command texts against a plain model. Input: the -c list, 0xFF, the client's text.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "remote.h"
#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    auto freeText = [](const std::string &s) { return !s.rfind("cat ", 0) || !s.rfind("ls ", 0); };
    const char *in = (const char *)data, *white = " \t\n\v\f\r";
    const char *sep = (const char *)memchr(in, 0xFF, size);
    std::string list = std::string(in, sep ? sep - in : 0).c_str();
    std::string text = std::string(sep ? sep + 1 : in, in + size).substr(0, 256).c_str();
    acmd_list = sep ? list.c_str() : nullptr;
    std::string word = text.substr(0, text.find_first_of(white)), want;
    size_t at = list.find(word), end = at + word.size(); // only the first occurrence counts
    bool listed = sep && at != std::string::npos && (at == 0 || list[at - 1] == ',');
    if (freeText(text) || (listed && (end == list.size() || list[end] == ',')))
        want = text.substr(0, text.find_first_of(";|&`$\\\n\r<>"));
    size_t blank = want.find(' '), rest = want.find_first_not_of(white, blank + 1);
    if (freeText(want))
        want = rest == std::string::npos ? "" : want.substr(0, blank + 1) + want.substr(rest);
    std::vector<char> buf(257, 'Z'); // exactly 257 bytes: ASan sees any overrun
    memcpy(buf.data(), text.c_str(), text.size() + 1);
    const char *cmd = RelayCommandText(buf.data());
    if ((cmd && (cmd < &buf[0] || cmd > &buf[256] || !*cmd)) || want != (cmd ? cmd : ""))
        abort();
    return 0;
}
