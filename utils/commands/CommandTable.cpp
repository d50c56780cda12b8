// The command table, in the order the words are matched.
#include "CommandTable.h"

#include "proto/Protocol.h"

namespace {

// clang-format off
constexpr CommandRow command_table[] = {
    {RequestWord(HPROTO_CMD_PING),         Ping,         true,  nullptr,          false},
    {RequestWord(HPROTO_CMD_ID),           Id,           true,  IdReported,       false},
    {RequestWord(HPROTO_CMD_UPGRADE),      nullptr,      false, nullptr,          false},  // Upgrade
    {RequestWord(HPROTO_CMD_CALIBRATE),    Calibrate,    false, nullptr,          true},
    {RequestWord(HPROTO_CMD_PRECALIBRATE), PreCalibrate, false, nullptr,          true},
    {RequestWord(HPROTO_CMD_VEND),         Vend,         false, nullptr,          true},
    {RequestWord(HPROTO_CMD_GOHOME),       Home,         false, nullptr,          true},
    {RequestWord(HPROTO_CMD_RECOVER),      Recover,      false, nullptr,          true},
    {RequestWord(HPROTO_CMD_STATUS),       Status,       false, StatusReported,   false},
    {RequestWord(HPROTO_CMD_MOVE),         Move,         false, nullptr,          true},
};
// clang-format on

constexpr bool EveryCommandHasAWord()
{
    for (const CommandRow& row : command_table)
        if (!row.word)
            return false;
    return true;
}
static_assert(EveryCommandHasAWord(), "a command sends a request that request_table lacks");

}  // namespace

const CommandRow* FindCommand(const std::string& word)
{
    for (const CommandRow& row : command_table)
        if (word == row.word)
            return &row;
    return nullptr;
}
