// The shell's lines before they run: read, split, and checked against a line that takes nothing.
#include "ShellLines.h"

#include <memory>

#include "Run.h"
#include "commands/CommandTable.h"
#include "commands/JsonOut.h"
#include "output/Output.h"
#include "proto/Exchange.h"
#include "serial/Serial.h"

namespace shell_lines {

namespace {

// What a command would print, kept; notes and trace dropped. The checks run a command against a
// line that takes nothing and read its refusal from here.
class CheckOutput final : public Output {
public:
    void Write(const std::string& text) override { text_ += text; }
    void Show() override {}
    void Note(const std::string&) override {}
    bool Traces() const override { return false; }
    void Trace(const std::string&, TraceKind) override {}
    void Record(const std::string&) override {}
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// A line on which every write fails, noting that one was tried: a command's own checks of its
// words and its image file run as they would, and it stops at its first request. A command that
// got as far as a request found nothing wrong with its line.
class CheckTransport final : public Transport {
public:
    explicit CheckTransport(bool* tried) : tried_(tried) {}
    bool Read(void*, uint32_t, uint32_t* bytes) override
    {
        *bytes = 0;
        return false;
    }
    bool Write(const void*, uint32_t, uint32_t* bytes) override
    {
        *tried_ = true;
        *bytes = 0;
        return false;
    }
    bool GetSettings(LineSettings*) override { return false; }
    bool SetSettings(const LineSettings*) override { return false; }
    void Purge() override {}
    void SetQueues(uint32_t, uint32_t) override {}
    std::string SlowAdapterAdvice() override { return ""; }

private:
    bool* tried_;
};

// The command word of a device command's words ("debug" stands before it).
const std::string& CommandWord(const Words& words)
{
    return words[0] == "debug" && words.size() > 1 ? words[1] : words[0];
}

}  // namespace

const char shell_words[] =
    "Shell words: sleep SECONDS, wait SECONDS, repeat N COMMAND..., quit, help; "
    "# starts a comment\n";


Words SplitWords(const std::string& text)
{
    Words words;
    size_t at = 0;
    for (;;) {
        at = text.find_first_not_of(" \t\r", at);
        if (at == std::string::npos)
            return words;
        const size_t end = text.find_first_of(" \t\r", at);
        words.push_back(text.substr(at, end - at));
        at = end;
    }
}

std::string JoinWords(const Words& words)
{
    std::string text;
    for (const std::string& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

std::string JsonWords(const Words& words)
{
    std::string list = "[";
    for (const std::string& word : words)
        list += (list.size() > 1 ? "," : "") + JsonQuote(word);
    return list + "]";
}

// The switches as they hold for one line: --wait follows the motions only, so that a script can
// mix them with pings and statuses.
RunOptions LineOptions(const RunOptions& options, const Words& words)
{
    RunOptions line = options;
    const CommandRow* row = FindCommand(CommandWord(words));
    if (!row || !row->moves)
        line.wait_ms = 0;
    return line;
}

// The port word before a line's words, as a single command line has them.
Words CommandLineWords(const std::string& port_word, const Words& words)
{
    Words full{port_word};
    full.insert(full.end(), words.begin(), words.end());
    return full;
}

namespace {

// Why a device command's words would not run; empty when they would.
std::string RefuseCommand(const std::string& port_word, const Words& words,
                          const RunOptions& options)
{
    const std::string& word = CommandWord(words);
    if (!FindCommand(word))
        return "unknown command " + word;
    const Words full = CommandLineWords(port_word, words);
    const RunOptions line = LineOptions(options, words);
    if (const char* misfit = SwitchesMisfit(full, line))
        return misfit;
    bool tried = false;
    Port port(std::make_unique<CheckTransport>(&tried), options.timeout_ms);
    CheckOutput said;
    Link link(port);
    link.out = &said;
    RunOptions check = line;
    // A command's words refused under --json come as their reason alone, without the usage text.
    check.json = true;
    check.wait_ms = 0;
    RunCommand(link, full, check, nullptr);
    if (tried)
        return "";
    std::string reason = said.Text();
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
        reason.pop_back();
    for (char& c : reason)
        if (c == '\n')
            c = ';';
    return reason.empty() ? word + " refused its words" : reason;
}

}  // namespace

// Why a line would not run; empty when it would. Blank and comment lines are never checked.
std::string RefuseLine(const std::string& port_word, const Words& words, const RunOptions& options)
{
    for (const std::string& word : words)
        if (IsSwitchWord(word))
            return "switches go before the port word: " + word;
    const std::string& first = words[0];
    int value = 0;
    if (first == "quit" || first == "help")
        return words.size() == 1 ? "" : first + " takes no words";
    if (first == "sleep")
        return words.size() == 2 && ParseSeconds(words[1].c_str(), 0, 3600, &value)
                   ? ""
                   : "sleep takes seconds from 0 to 3600";
    if (first == "wait")
        return words.size() == 2 && ParseSeconds(words[1].c_str(), 1, 600, &value)
                   ? ""
                   : "wait takes seconds from 1 to 600";
    if (first == "repeat") {
        if (words.size() < 3 || !ParseCount(words[1].c_str(), 1, most_repeats, &value))
            return "repeat takes a count from 1 to " + std::to_string(most_repeats) +
                   " and a command";
        const Words rest(words.begin() + 2, words.end());
        if (rest[0] == "repeat" || rest[0] == "quit" || rest[0] == "help")
            return "repeat does not take " + rest[0];
        return RefuseLine(port_word, rest, options);
    }
    return RefuseCommand(port_word, words, options);
}

// Why the raw line cannot be words at all; empty when it can.
std::string RefuseText(const ShellLine& line)
{
    if (line.too_long)
        return "a line longer than " + std::to_string(longest_line) + " bytes";
    if (line.text.find('\0') != std::string::npos)
        return "a NUL byte in the line";
    return "";
}

bool Skipped(const Words& words)
{
    return words.empty() || words[0][0] == '#';
}

// Reads one line of a stream, as it arrives; false at the end of the stream with nothing read.
bool ReadStreamLine(FILE* stream, ShellLine* line)
{
    line->text.clear();
    line->too_long = false;
    int c;
    bool any = false;
    while ((c = std::getc(stream)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (line->text.size() < longest_line)
            line->text.push_back(static_cast<char>(c));
        else
            line->too_long = true;
    }
    return any;
}

}  // namespace shell_lines
