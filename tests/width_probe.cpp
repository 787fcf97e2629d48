// Run first by the test runner to learn whether this machine runs programs
// of this width at all, and with the code page the tests need.
#include <windows.h>

#include <cstdio>

int main()
{
    printf("%d-bit, code page %u\n", static_cast<int>(sizeof(void*) * 8), GetACP());
    return 0;
}
