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
#include "ShellLines.h"
#include "Usage.h"
#include "commands/CommandTable.h"
#include "commands/JsonOut.h"
#include "console/Prompt.h"
#include "output/RunOutput.h"
#include "proto/Exchange.h"
#include "serial/Serial.h"

using namespace shell_lines;

namespace {

using Clock = std::chrono::steady_clock;

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
