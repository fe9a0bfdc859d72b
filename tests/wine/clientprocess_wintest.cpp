// Exercises the Win32 process layer against a real child process under Windows or wine.
#include "install/clientprocess.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int failures = 0;

void check(bool ok, const char *what)
{
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    std::fflush(stdout);
    if (!ok)
        ++failures;
}

std::wstring fromUtf8(const std::string &text)
{
    if (text.empty())
        return {};
    const int length = static_cast<int>(text.size());
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (units <= 0)
        return {};
    std::wstring out(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, &out[0], units);
    return out;
}

bool sameIgnoringCase(const std::wstring &a, const std::wstring &b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring ownPath()
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    path.resize(length);
    return path;
}

// Opening an id succeeds for a while after the process is gone on some
// systems; give the kernel a bounded moment to drop it.
bool opensWithin(std::int64_t pid, DWORD budgetMs)
{
    const ULONGLONG until = GetTickCount64() + budgetMs;
    for (;;) {
        ClientProcess process;
        if (!process.open(pid))
            return false;
        if (GetTickCount64() >= until)
            return true;
        Sleep(20);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && std::wstring(argv[1]) == L"--linger") {
        Sleep(60000);
        return 3;
    }

    // A child whose path holds non-ASCII text, so the UTF-8 conversion is really exercised.
    const std::wstring self = ownPath();
    const std::wstring folder = self.substr(0, self.find_last_of(L"\\/") + 1);
    const std::wstring childPath = folder + L"cliente-\u00e7\u00e3o-\u4e16.exe";
    check(CopyFileW(self.c_str(), childPath.c_str(), FALSE) != 0, "copy the child program");

    std::wstring commandLine = L"\"" + childPath + L"\" --linger";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(childPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &child)) {
        check(false, "start the child process");
        return 1;
    }
    const std::int64_t pid = child.dwProcessId;

    ClientProcess none;
    check(!none.isOpen() && none.imagePath().empty(), "an unopened process has no path");
    check(none.wait(0) == ClientProcess::WaitResult::Failed, "waiting on nothing fails");
    check(!none.terminate(0), "ending nothing fails");
    check(!none.open(0) && !none.open(-1), "ids 0 and below open nothing");
    check(!none.open(pid + (std::int64_t(1) << 32)), "an id beyond 32 bits is not truncated");

    ClientProcess process;
    check(process.open(pid), "open the running child");
    const std::string image = process.imagePath();
    std::printf("     image path: %s\n", image.c_str());
    check(sameIgnoringCase(fromUtf8(image), childPath), "image path names the child");
    check(process.wait(50) == ClientProcess::WaitResult::TimedOut, "a 50 ms wait times out");

    ClientProcess moved(std::move(process));
    check(!process.isOpen() && moved.isOpen(), "moving hands the handle over");
    check(moved.terminate(7), "forced end succeeds");
    check(moved.wait(5000) == ClientProcess::WaitResult::Exited, "the wait then reports exited");
    DWORD exitCode = 0;
    check(GetExitCodeProcess(child.hProcess, &exitCode) && exitCode == 7,
          "the child ended with the given exit code");
    moved.close();
    check(!moved.isOpen() && moved.wait(0) == ClientProcess::WaitResult::Failed,
          "a closed process cannot be waited on");

    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    check(!opensWithin(pid, 2000), "the id of a vanished process opens nothing");

    DeleteFileW(childPath.c_str());
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
