// xkt_bitness: says how this Windows process runs, for the test that the
// 32-bit programs really run as 32-bit (a guest or host that quietly ran
// them some other way must not pass).
//
// Prints one line "pointer N wow64 W machine M" and then waits for a line on
// stdin, so that the runner can look at the Linux process behind it while it
// is still alive.
#include <windows.h>

#include <cstdio>

namespace {

// IsWow64Process is looked up at run time: a 32-bit Windows without WoW64
// lacks it, and then the process is certainly not running under WoW64.
int Wow64()
{
    using IsWow64Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto fn = reinterpret_cast<IsWow64Fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (fn && !fn(GetCurrentProcess(), &wow64))
        return -1;
    return wow64 ? 1 : 0;
}

// The processor architecture this process's image was made for, read from
// its own headers in memory (0x14c i386, 0x8664 x86-64).
unsigned ImageMachine()
{
    auto base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    return nt->FileHeader.Machine;
}

}  // namespace

int main()
{
    std::printf("pointer %u wow64 %d machine 0x%x\n", static_cast<unsigned>(sizeof(void*)),
                Wow64(), ImageMachine());
    std::fflush(stdout);
    char line[16];
    std::fgets(line, sizeof line, stdin);
    return 0;
}
