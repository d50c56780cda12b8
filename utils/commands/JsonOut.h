// --json: the run's result as one JSON object on one line, for programs that wrap the tool.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Commands.h"
#include "serial/PortList.h"

// Bumped when a member changes its meaning or goes away; new members do not bump it.
constexpr int json_schema = 1;

// An object being written: its members so far, without the braces.
struct JsonObject {
    std::string members;
};

// Any bytes as a JSON string: quotes, backslashes and every control character escaped (\u00XX),
// valid UTF-8 kept, and each byte that is not part of valid UTF-8 written as \u00XX of its value,
// so that board text, port names and paths always give valid JSON.
std::string JsonQuote(const std::string& bytes);

void JsonAddString(JsonObject* object, const char* name, const std::string& value);
void JsonAddInt(JsonObject* object, const char* name, int64_t value);
// Written with `decimals` places; a figure that is not finite is written as 0.
void JsonAddNumber(JsonObject* object, const char* name, double value, int decimals);
void JsonAddBool(JsonObject* object, const char* name, bool value);
// A member that has no value in this run: null, never a stand-in figure such as -1 or 0.
void JsonAddNull(JsonObject* object, const char* name);
// `json` must already be JSON text (an array, another object).
void JsonAddRaw(JsonObject* object, const char* name, const std::string& json);
// The object, braces and all, on one line.
std::string JsonText(const JsonObject& object);

// The first members of every object: "schema", "command", "ok".
JsonObject JsonStart(const std::string& command, bool ok);
// A run refused before it started (its words do not make a command, a bad switch): the object
// with "ok" false and the reason as "error".
std::string JsonRefusal(const std::string& command, const std::string& reason);
// A command's run: the figures the report holds and, when it failed (`ok` false), the text lines
// it printed as "error".
std::string JsonRun(const std::string& command, bool ok, const std::string& text,
                    const RunReport& report);
// The same object before it is closed, for a caller that adds members of its own.
JsonObject JsonRunObject(const std::string& command, bool ok, const std::string& text,
                         const RunReport& report);
// What --list-ports found, one object per port in "ports".
std::string JsonPortList(const std::vector<PortInfo>& ports);
