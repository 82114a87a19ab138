// child_process.h on Windows.
#include "child_process.h"

#include "interrupts.h"
#include "line_splitter.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <windows.h>

namespace station {
namespace {

std::wstring widen(const std::string &text)
{
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), n);
    return wide;
}

// One argument quoted the way the C runtime's command-line parser reads it back.
std::wstring quoted(const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

} // namespace

std::string own_executable()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, path.data(), int(path.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), int(path.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

ChildEnd run_child(const std::string &program, const std::vector<std::string> &args,
                   const std::function<void(const std::string &line)> &on_line, std::chrono::milliseconds limit)
{
    // Inheritable handles go to every process started while they are open:
    // another board's child would hold this pipe's write end and its EOF
    // would wait for that child. One start at a time keeps them apart.
    static std::mutex starting;
    std::unique_lock<std::mutex> one_start(starting);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0))
        return {};
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE no_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr);

    std::wstring command_line = quoted(widen(program));
    for (const std::string &arg : args)
        command_line += L" " + quoted(widen(arg));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = no_input;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION process{};
    std::wstring wide_program = widen(program);
    BOOL started = CreateProcessW(wide_program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
    CloseHandle(write_end);
    if (no_input != INVALID_HANDLE_VALUE)
        CloseHandle(no_input);
    one_start.unlock();
    if (!started) {
        CloseHandle(read_end);
        return {};
    }
    register_child(reinterpret_cast<long long>(process.hProcess));
    // Past its limit the process is ended, and its pipe with it.
    ChildEnd end;
    std::thread watchdog([&] {
        DWORD ms = limit.count() > 0 ? DWORD(std::min<long long>(limit.count(), INFINITE - 1)) : INFINITE;
        if (WaitForSingleObject(process.hProcess, ms) == WAIT_TIMEOUT) {
            end.timed_out = true;
            TerminateProcess(process.hProcess, 1);
        }
    });
    LineSplitter lines(on_line);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0)
        lines.add(buffer, got);
    lines.finish();
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    watchdog.join();
    unregister_child(reinterpret_cast<long long>(process.hProcess));
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    end.exit_status = int(code & 0xFF);
    return end;
}

} // namespace station
