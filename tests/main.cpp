// The tests' entry point, in place of GoogleTest's own. A labelled row
// (SCOPED_TRACE) is per-thread state, which GoogleTest on Windows frees from
// a thread of its own that waits for the labelling thread to end. 32-bit
// Wine can die of SIGSEGV when a process exits while such a thread is still
// there (about one run in 200 under load), after the tests have passed. So
// the tests run on a thread of their own, and the process ends once every
// other thread of it has ended too.
#include "harness/program.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

namespace {

DWORD WINAPI RunTests(void *)
{
    return DWORD(RUN_ALL_TESTS());
}

void WaitForTheOtherThreads()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetCurrentProcessId() || entry.th32ThreadID == GetCurrentThreadId())
            continue;
        if (HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, entry.th32ThreadID)) {
            WaitForSingleObject(thread, 5000);
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
}

} // namespace

int main(int argc, char **argv)
{
    if (!harness::InOwnPrefix("brisvane_tests", "tools/test"))
        return 2;
    testing::InitGoogleTest(&argc, argv);
    HANDLE tests = CreateThread(nullptr, 0, RunTests, nullptr, 0, nullptr);
    DWORD status = 1;
    if (!tests || WaitForSingleObject(tests, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeThread(tests, &status))
        return 1;
    CloseHandle(tests);
    WaitForTheOtherThreads();
    return int(status);
}
