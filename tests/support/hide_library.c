/* A preload that hides shared libraries from dlopen, as if they were not
 * installed: a name that starts with VRC_TEST_HIDE is looked for in a
 * folder that does not exist, so that the dynamic loader fails as it does
 * for a missing file, with its own reason; each one hidden is noted on
 * stderr. Only dlopen is fooled: libraries a program or library needs to
 * start are loaded as ever. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void *dlopen(const char *name, int flags)
{
    void *(*next)(const char *, int);
    *(void **)&next = dlsym(RTLD_NEXT, "dlopen");
    const char *hidden = getenv("VRC_TEST_HIDE");
    if (!name || !hidden || !*hidden || strncmp(name, hidden, strlen(hidden)) != 0) return next(name, flags);
    char elsewhere[4096];
    snprintf(elsewhere, sizeof elsewhere, "/nonexistent/hidden-by-test/%s", name);
    fprintf(stderr, "hide_library: %s hidden\n", name);
    return next(elsewhere, flags);
}
