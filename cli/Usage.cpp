#include "Usage.h"

#include <cstddef>

namespace {

struct CommandRow {
    const char* szCall;   // the command and what follows it
    const char* szDoes;
};

struct OptionRow {
    const char* szOption;
    const char* szValue;   // "" for a flag
    bool bInUsage;         // --help and --version end the call: not in the usage line
    const char* szDoes;
};

struct ExitRow {
    ExitStatus nStatus;
    const char* szMeans;
};

const CommandRow kCommands[] = {
    {"find", "search for the instrument; prints its port and identification"},
    {"read kV|uA|kOhm|all NAME", "download a data set into NAME.txt, or all three into NAME-kV.txt,\n"
                                 "NAME-uA.txt and NAME-kOhm.txt; prints each saved file and its size"},
    {"erase kV|uA|kOhm|all", "erase a data set in the instrument, or all three"},
    {"watch", "a time-stamped line each time the instrument is found or lost"},
    {"ports", "list the serial ports: the name for --port, free or why not"},
};

const OptionRow kOptions[] = {
    {"--port", "P", true, "the instrument's port (3, COM12, /dev/ttyUSB0); without it, a search"},
    {"--overwrite", "", true, "read: replace an existing file"},
    {"--erase", "", true, "read all: each set read until two downloads agree, saved,\n"
                                 "then erased (see the man page for the cost)"},
    {"--trace", "FILE", true, "every byte sent and received, to FILE (- is stderr)"},
    {"--help", "", false, "this text"},
    {"--version", "", false, "the program's version"},
};

const ExitRow kExits[] = {
    {EXIT_DONE, "success"},
    {EXIT_INSTRUMENT, "instrument or line: not found, no reply, no data, lost, line error, port in use,\n"
                        "a letter the line did not take, downloads that differed (--erase)"},
    {EXIT_USAGE, "usage: unknown command, unit or option, missing name, no such port"},
    {EXIT_FILE, "file: cannot be written, or exists without --overwrite; saved but its folder\n"
                  "not synced; the trace cannot be written whole"},
    {EXIT_HANGUP, "hung up (the terminal was closed); cleaned up as after Ctrl-C"},
    {EXIT_INTERRUPTED, "interrupted (Ctrl-C); a download leaves no file, an old file as it was"},
};

// "  NAME      text", the text's further lines under its first.
std::string Row(const std::string& strName, size_t nWidth, const char* szText)
{
    std::string strRow = "  " + strName + std::string(nWidth > strName.size() ? nWidth - strName.size() : 1, ' ');
    for (const char* p = szText; *p != '\0'; ++p) {
        strRow += *p;
        if (*p == '\n')
            strRow += std::string(2 + nWidth, ' ');
    }
    return strRow + "\n";
}

std::string OptionCall(const OptionRow& option)
{
    std::string strCall = option.szOption;
    if (*option.szValue != '\0')
        strCall += std::string(" ") + option.szValue;
    return strCall;
}

}  // namespace

std::string UsageLine()
{
    std::string strLine = "usage: orvel";
    const char* szBetween = " ";
    for (const CommandRow& command : kCommands) {
        strLine += szBetween + std::string(command.szCall);
        szBetween = " | ";
    }
    strLine += " ";
    for (const OptionRow& option : kOptions) {
        if (option.bInUsage)
            strLine += " [" + OptionCall(option) + "]";
    }
    return strLine + "\n";
}

std::string HelpText(const char* szReference)
{
    std::string strText = "usage: orvel COMMAND [options]\n"
                          "\n"
                          "The high-voltage instrument on a serial line, as the Orvel dialog drives it.\n"
                          "\n"
                          "commands:\n";
    for (const CommandRow& command : kCommands)
        strText += Row(command.szCall, 26, command.szDoes);
    strText += "\noptions:\n";
    for (const OptionRow& option : kOptions)
        strText += Row(OptionCall(option), 15, option.szDoes);
    // The micro sign in UTF-8; on a Windows console PutText shows it in the console's code page.
    strText += "\nUnits are case-insensitive; uA may be written \xC2\xB5" "A.\n"
               "\nexit status:\n";
    for (const ExitRow& exit : kExits)
        strText += Row(std::to_string(static_cast<int>(exit.nStatus)), 5, exit.szMeans);
    return strText + "\n" + szReference + "\n";
}
