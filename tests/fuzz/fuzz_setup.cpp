// The start every fuzz target shares: the driver's standard-output lines go
// nowhere, so a run measures the driver, not the terminal.
#include <iostream>
#include <streambuf>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    struct NullBuffer : std::streambuf {
        int overflow(int c) override { return c; }
    };
    // Never destroyed: std::cout still flushes into it at exit.
    static NullBuffer* const null_buffer = new NullBuffer;
    std::cout.rdbuf(null_buffer);
    return 0;
}
