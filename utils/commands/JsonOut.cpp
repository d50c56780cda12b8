// The JSON writer and the capture of the text lines a JSON run reports in "error".
#include "JsonOut.h"

#include <cmath>
#include <cstdio>

#include "proto/Protocol.h"

namespace {

// How many bytes at `at` form one valid UTF-8 character; 0 when the byte there starts none
// (a stray continuation byte, an overlong form, a surrogate, a code point above U+10FFFF, a
// sequence cut short).
size_t Utf8Length(const std::string& bytes, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, narrowed where the lead needs it
    unsigned char high = 0xBF;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // overlong
        if (lead == 0xED)
            high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;  // overlong
        if (lead == 0xF4)
            high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (at + length > bytes.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

void AddName(JsonObject* object, const char* name)
{
    if (!object->members.empty())
        object->members += ',';
    object->members += JsonQuote(name);
    object->members += ':';
}

}  // namespace

std::string JsonQuote(const std::string& bytes)
{
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const size_t length = Utf8Length(bytes, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            char escape[8];
            snprintf(escape, sizeof(escape), "\\u%04X", c);
            out += escape;
        } else {
            out.append(bytes, i, length);
            i += length;
            continue;
        }
        ++i;
    }
    return out + '"';
}

void JsonAddString(JsonObject* object, const char* name, const std::string& value)
{
    AddName(object, name);
    object->members += JsonQuote(value);
}

void JsonAddInt(JsonObject* object, const char* name, int64_t value)
{
    AddName(object, name);
    object->members += std::to_string(value);
}

void JsonAddNumber(JsonObject* object, const char* name, double value, int decimals)
{
    char text[64];
    snprintf(text, sizeof(text), "%.*f", decimals, std::isfinite(value) ? value : 0.0);
    AddName(object, name);
    object->members += text;
}

void JsonAddBool(JsonObject* object, const char* name, bool value)
{
    AddName(object, name);
    object->members += value ? "true" : "false";
}

void JsonAddNull(JsonObject* object, const char* name)
{
    AddName(object, name);
    object->members += "null";
}

void JsonAddRaw(JsonObject* object, const char* name, const std::string& json)
{
    AddName(object, name);
    object->members += json;
}

std::string JsonText(const JsonObject& object)
{
    return "{" + object.members + "}";
}

JsonObject JsonStart(const std::string& command, bool ok)
{
    JsonObject object;
    JsonAddInt(&object, "schema", json_schema);
    JsonAddString(&object, "command", command);
    JsonAddBool(&object, "ok", ok);
    return object;
}

std::string JsonRefusal(const std::string& command, const std::string& reason)
{
    JsonObject object = JsonStart(command, false);
    JsonAddString(&object, "error", reason);
    return JsonText(object);
}

std::string JsonRun(const std::string& command, bool ok, const std::string& text,
                    const RunReport& report)
{
    return JsonText(JsonRunObject(command, ok, text, report));
}

JsonObject JsonRunObject(const std::string& command, bool ok, const std::string& text,
                         const RunReport& report)
{
    JsonObject object = JsonStart(command, ok);
    if (report.has_id) {
        JsonAddInt(&object, "device", report.device);
        JsonAddString(&object, "version",
                      std::to_string(report.major) + "." + std::to_string(report.minor));
    }
    if (report.has_status) {
        const int state = report.status.state;
        JsonAddString(&object, "state", StateName(state));
        JsonAddInt(&object, "state_value", state);
        std::string errors = "[";
        for (int i = 0; i < CONTROLLER_ERROR_MAX; ++i) {
            if (!(report.status.error_mask & (1u << i)))
                continue;
            if (errors.size() > 1)
                errors += ',';
            errors += JsonQuote(error_names[i]);
        }
        JsonAddRaw(&object, "errors", errors + "]");
        JsonAddInt(&object, "error_mask", report.status.error_mask);
    }
    if (report.polls > 0) {
        // A failed last poll leaves the state of an earlier one: "state_poll" says which.
        JsonAddInt(&object, "polls", report.polls);
        if (report.state_poll > 0)
            JsonAddInt(&object, "state_poll", report.state_poll);
        else
            JsonAddNull(&object, "state_poll");
    }
    if (report.boot_switch)
        JsonAddString(&object, "boot_switch", report.boot_switch);
    if (report.has_upload) {
        const UploadSummary& upload = report.upload;
        JsonAddInt(&object, "blocks_sent", upload.blocks_sent);
        JsonAddInt(&object, "blanks_skipped", upload.blanks_skipped);
        JsonAddInt(&object, "bytes", upload.bytes);
        JsonAddNumber(&object, "seconds", upload.seconds, 3);
        // Blank blocks skipped cost no time on the line: the rate is that of the blocks exchanged.
        const double carried = static_cast<double>(upload.blocks_sent) * upgrade_block_size;
        JsonAddNumber(&object, "bytes_per_second",
                      upload.seconds > 0 ? carried / upload.seconds : 0.0, 0);
    }
    if (!ok) {
        // The lines as text mode prints them, without the last line end.
        std::string lines = text;
        while (!lines.empty() && lines.back() == '\n')
            lines.pop_back();
        JsonAddString(&object, "error", lines);
    }
    return object;
}

std::string JsonPortList(const std::vector<PortInfo>& ports)
{
    static const char* const probe_words[] = {"not_done", "answered", "silent", "not_opened"};
    std::string list = "[";
    for (const PortInfo& port : ports) {
        JsonObject entry;
        JsonAddString(&entry, "name", port.name);
        JsonAddString(&entry, "path", port.path);
        // What the platform did not tell, or what does not apply, is null.
        const auto add_text = [&entry](const char* name, const std::string& value) {
            if (value.empty())
                JsonAddNull(&entry, name);
            else
                JsonAddString(&entry, name, value);
        };
        const auto add_figure = [&entry](const char* name, int value, bool known) {
            if (known)
                JsonAddInt(&entry, name, value);
            else
                JsonAddNull(&entry, name);
        };
        add_text("description", port.description);
        add_figure("vid", port.vid, port.vid >= 0);
        add_figure("pid", port.pid, port.pid >= 0);
        add_text("serial", port.serial);
        add_text("by_id", port.by_id);
        add_figure("latency_ms", port.latency_ms, port.latency_ms >= 0);
        JsonAddBool(&entry, "console", port.console);
        JsonAddBool(&entry, "busy", port.busy);
        add_figure("busy_pid", port.busy_pid, port.busy && port.busy_pid > 0);
        JsonAddString(&entry, "probe", probe_words[port.probe]);
        if (list.size() > 1)
            list += ',';
        list += JsonText(entry);
    }
    JsonObject object = JsonStart("list-ports", true);
    JsonAddRaw(&object, "ports", list + "]");
    return JsonText(object);
}
