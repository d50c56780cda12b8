// The shell's lines: read, checked before anything is sent, then run one by one on the one port
// and link the shell keeps open, through the same command run as a single command line.
#include "Shell.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "Run.h"
#include "Usage.h"
#include "commands/CommandTable.h"
#include "commands/JsonOut.h"
#include "console/Prompt.h"
#include "output/RunOutput.h"
#include "proto/Exchange.h"
#include "serial/Serial.h"

namespace {

using Words = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Longer than any command someone writes: a binary file or a runaway program, refused before it
// fills memory.
constexpr size_t longest_line = 4096;
constexpr int most_repeats = 1000000;

const char shell_words[] =
    "Shell words: sleep SECONDS, wait SECONDS, repeat N COMMAND..., quit, help; "
    "# starts a comment\n";

// A line of the shell's input, numbered from 1.
struct ShellLine {
    int number = 0;
    std::string text;
    bool too_long = false;
};

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

// The command word of a device command's words ("debug" stands before it).
const std::string& CommandWord(const Words& words)
{
    return words[0] == "debug" && words.size() > 1 ? words[1] : words[0];
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

class Shell {
public:
    Shell(const CommandLine& line, Output& out)
        : options_(line.options), port_word_(line.words[0]), out_(out), start_(Clock::now())
    {
        source_ = line.words.size() > 2 ? line.words[2] : "-";
    }

    int Run(const CommandLine& line)
    {
        if (line.words.size() > 3)
            return Refuse("shell takes at most a script file");
        if (source_ != "-")
            return RunScript();
        if (InputIsTerminal())
            return RunPrompt();
        return RunStream();
    }

private:
    // A refusal of the whole shell before anything runs.
    int Refuse(const std::string& reason)
    {
        out_.Note("gantrix: " + reason);
        if (options_.json)
            out_.Line(JsonRefusal("shell", reason));
        return exit_failed;
    }

    bool Open()
    {
        const int status = OpenRunPort(port_word_, options_, out_, &port_);
        out_.Show();
        if (status != exit_ok) {
            if (first_failure_ == exit_ok)
                first_failure_ = status;
            return false;
        }
        link_ = std::make_unique<Link>(port_);
        link_->retries = options_.retries;
        link_->out = &out_;
        return true;
    }

    // The script is read whole and every line checked before the port is opened.
    int RunScript()
    {
        FILE* file = std::fopen(source_.c_str(), "rb");
        if (!file)
            return Refuse("cannot read the script " + source_ + ": " + std::strerror(errno));
        std::vector<ShellLine> lines;
        ShellLine line;
        while (ReadStreamLine(file, &line)) {
            line.number = static_cast<int>(lines.size()) + 1;
            lines.push_back(line);
        }
        const bool read = !std::ferror(file);
        std::fclose(file);
        if (!read)
            return Refuse("cannot read the script " + source_);
        bool refused = false;
        for (const ShellLine& each : lines) {
            std::string reason = RefuseText(each);
            const Words words = SplitWords(each.text);
            if (reason.empty() && !Skipped(words))
                reason = RefuseLine(port_word_, words, options_);
            if (!reason.empty()) {
                RefuseLineSaid(each.number, words, reason);
                refused = true;
            }
        }
        if (refused)
            return exit_failed;
        if (!Open())
            return Finish();
        for (const ShellLine& each : lines) {
            const Words words = SplitWords(each.text);
            if (Skipped(words))
                continue;
            if (!RunLine(each.number, words))
                break;
        }
        return Finish();
    }

    // A program's pipe: each line checked and run as it arrives, its answer out before the next
    // is read.
    int RunStream()
    {
        if (!Open())
            return Finish();
        ShellLine line;
        while (ReadStreamLine(stdin, &line)) {
            line.number = ++stream_lines_;
            if (!StreamLine(line))
                break;
        }
        return Finish();
    }

    // False when the shell ends at this line.
    bool StreamLine(const ShellLine& line)
    {
        std::string reason = RefuseText(line);
        const Words words = SplitWords(line.text);
        if (reason.empty() && Skipped(words))
            return true;
        if (reason.empty())
            reason = RefuseLine(port_word_, words, options_);
        if (reason.empty())
            return RunLine(line.number, words);
        RefuseLineSaid(line.number, words, reason);
        ++failed_;
        if (first_failure_ == exit_ok)
            first_failure_ = exit_failed;
        return options_.keep_going || prompting_;
    }

    int RunPrompt()
    {
        if (!Open())
            return Finish();
        prompting_ = true;
        LinePrompt prompt("gantrix> ");
        ShellLine line;
        while (prompt.Read(&line.text)) {
            line.number = ++stream_lines_;
            line.too_long = line.text.size() > longest_line;
            if (!StreamLine(line))
                break;
        }
        return Finish();
    }

    void RefuseLineSaid(int number, const Words& words, const std::string& reason)
    {
        const std::string where = source_ + ":" + std::to_string(number) + ": ";
        out_.Note(where + reason);
        if (options_.json) {
            JsonObject object = JsonStart(words.empty() ? "" : words[0], false);
            JsonAddString(&object, "error", reason);
            JsonAddInt(&object, "line", number);
            JsonAddRaw(&object, "words", JsonWords(words));
            out_.Line(JsonText(object));
            out_.Show();
        }
    }

    // Runs one checked line; false when the shell ends at it.
    bool RunLine(int number, const Words& words)
    {
        const std::string& first = words[0];
        if (first == "quit")
            return false;
        if (first == "help") {
            const std::string help = UsageText() + shell_words;
            // Under --json stdout carries objects alone.
            if (options_.json)
                out_.Note(help.substr(0, help.size() - 1));
            else
                out_.Write(help);
            out_.Show();
            return true;
        }
        if (first == "repeat") {
            int count = 0;
            ParseCount(words[1].c_str(), 1, most_repeats, &count);
            const Words rest(words.begin() + 2, words.end());
            // The repeat stops at its command's first failure; whether the shell goes on is that
            // failure's to say.
            for (int k = 0; k < count; ++k) {
                if (!RunLine(number, rest))
                    return false;
                if (last_status_ != exit_ok)
                    return true;
            }
            return true;
        }
        // A board that restarts (after an upgrade a USB board re-enumerates) takes its port away
        // between commands; the next command would only fail on a line that is not there.
        if (run_ > 0)
            port_lost_ = port_lost_ || port_.HungUp() || !LineStillThere();
        if (port_lost_ && options_.wait_port_ms == 0) {
            out_.Note("gantrix: " + source_ + ":" + std::to_string(number) +
                      ": the port is gone (--wait-port waits for it to come back)");
            if (first_failure_ == exit_ok)
                first_failure_ = exit_failed;
            return false;
        }
        if (port_lost_ && !Reopen(number))
            return false;
        out_.Record("shell line " + std::to_string(number) + ": " + JoinWords(words));
        last_status_ = RunOne(number, words);
        ++run_;
        if (last_status_ != exit_ok) {
            ++failed_;
            if (first_failure_ == exit_ok)
                first_failure_ = last_status_;
            out_.Note("gantrix: " + source_ + ":" + std::to_string(number) + ": " +
                      JoinWords(words) + " failed with status " + std::to_string(last_status_));
        }
        return last_status_ == exit_ok || options_.keep_going || prompting_;
    }

    bool LineStillThere()
    {
        LineSettings settings;
        return port_.GetSettings(&settings);
    }

    // --wait-port: the port that went away (a board that restarts re-enumerates) opened again.
    bool Reopen(int number)
    {
        out_.Note("gantrix: " + source_ + ":" + std::to_string(number) +
                  ": the port was lost, opening it again");
        link_.reset();
        port_.Close();
        port_lost_ = false;
        return Open();
    }

    // One command, a wait or a sleep; its exit status.
    int RunOne(int number, const Words& words)
    {
        const std::string& first = words[0];
        RunReport report;
        RunOutput held(options_.trace, false, true);
        Output& out = options_.json ? static_cast<Output&>(held) : out_;
        link_->out = &out;
        int status = exit_ok;
        if (first == "sleep") {
            int ms = 0;
            ParseSeconds(words[1].c_str(), 0, 3600, &ms);
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        } else if (first == "wait") {
            int ms = 0;
            ParseSeconds(words[1].c_str(), 1, 600, &ms);
            status = WaitForMotion(*link_, ms, options_.json ? &report : nullptr) == COMMAND_OK
                         ? exit_ok
                         : exit_failed;
        } else {
            status = RunCommand(*link_, CommandLineWords(port_word_, words),
                                LineOptions(options_, words), options_.json ? &report : nullptr);
        }
        // A network line's notes (a peer that hung up) and trace lines, after the command's own.
        TellNews(out, port_.TakeNews());
        link_->out = &out_;
        if (options_.json) {
            JsonObject object = JsonRunObject(first, status == exit_ok, held.Held(), report);
            JsonAddInt(&object, "line", number);
            JsonAddRaw(&object, "words", JsonWords(words));
            out_.Line(JsonText(object));
        }
        out_.Show();
        return status;
    }

    int Finish()
    {
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        char summary[160];
        std::snprintf(summary, sizeof(summary),
                      "gantrix: shell: %d commands run, %d failed, %.3f s", run_, failed_, seconds);
        if (options_.json) {
            JsonObject object = JsonStart("shell", first_failure_ == exit_ok);
            JsonAddInt(&object, "commands", run_);
            JsonAddInt(&object, "failed", failed_);
            JsonAddNumber(&object, "seconds", seconds, 3);
            out_.Line(JsonText(object));
        }
        out_.Show();
        out_.Note(summary);
        return first_failure_;
    }

    const RunOptions& options_;
    const std::string port_word_;
    Output& out_;
    const Clock::time_point start_;
    std::string source_;
    Port port_;
    std::unique_ptr<Link> link_;
    bool prompting_ = false;
    bool port_lost_ = false;
    int stream_lines_ = 0;
    int run_ = 0;
    int failed_ = 0;
    int first_failure_ = exit_ok;
    int last_status_ = exit_ok;
};

}  // namespace

bool IsShell(const std::vector<std::string>& words)
{
    return words.size() >= 2 && words[1] == "shell";
}

int RunShell(const CommandLine& line, Output& out)
{
    Shell shell(line, out);
    return shell.Run(line);
}
