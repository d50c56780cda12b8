// Windows: runs the command line made of its arguments with no standard handle at all, as a
// service or a launcher without a console starts a program, and ends with the program's status.
#include <string>
#include <windows.h>

int main(int argc, char* argv[])
{
    std::string command;
    for (int i = 1; i < argc; ++i)
        command += std::string(i > 1 ? " " : "") + argv[i];
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;  // and every handle null
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                        nullptr, &startup, &process))
        return 125;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 125;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<int>(status);
}
