// The tests' entry point. GoogleTest on Windows frees a labelled row's
// (SCOPED_TRACE's) per-thread state from a thread that waits for the labelling
// thread to end, and 32-bit Wine can die of SIGSEGV when a process exits with
// such a thread still there (one run in 200 under load). So the tests run on
// a thread of their own, and the process ends once its other threads have.
#include "harness/harness.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

static DWORD WINAPI RunTests(void *)
{
    return DWORD(RUN_ALL_TESTS());
}

int main(int argc, char **argv)
{
    if (!harness::InOwnPrefix("brisvane_tests", "tools/test"))
        return 2;
    testing::InitGoogleTest(&argc, argv);
    DWORD status = 1;
    HANDLE tests = CreateThread(nullptr, 0, RunTests, nullptr, 0, nullptr);
    if (!tests || WaitForSingleObject(tests, INFINITE) || !GetExitCodeThread(tests, &status))
        return 1;
    HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{sizeof entry, 0, 0, 0, 0, 0, 0};
    for (BOOL more = Thread32First(threads, &entry); more; more = Thread32Next(threads, &entry))
        if (HANDLE thread = entry.th32OwnerProcessID == GetCurrentProcessId() && entry.th32ThreadID != GetCurrentThreadId()
                                ? OpenThread(SYNCHRONIZE, FALSE, entry.th32ThreadID) : nullptr)
            WaitForSingleObject(thread, 5000), CloseHandle(thread);
    return int(status);
}
