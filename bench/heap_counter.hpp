// Counts every heap allocation the process makes: operator new calls, and
// malloc-family calls (jsoncpp copies its strings with malloc, past operator
// new), with the bytes held. Linked into a benchmark program it replaces
// operator new and interposes malloc for the whole process.
#pragma once

#include <cstddef>

struct HeapCount {
    long news = 0;     // operator new calls
    long mallocs = 0;  // malloc, calloc, realloc and aligned allocations, operator new's included
    long held = 0;     // bytes in use (malloc_usable_size of every live block)
};

HeapCount heap_count();
