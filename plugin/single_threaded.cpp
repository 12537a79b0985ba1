// glibc 2.32 and newer let libstdc++'s inline reference counting (shared_ptr,
// locale facets) read libc's __libc_single_threaded and skip the atomic
// operations while a process has one thread. Compiled against those headers,
// the plug-in would ask the gateway for GLIBC_2.32 for that flag alone. This
// hidden copy, never set, satisfies the reference inside the plug-in and
// keeps the atomic path always, which is correct in any process.
#if __has_include(<sys/single_threaded.h>)
#include <sys/single_threaded.h>

extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
#endif
