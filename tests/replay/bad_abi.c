/* A plug-in library whose ABI record is wrong in one field, chosen by BAD_MAGIC, BAD_LENGTH or
 * BAD_VERSION, for the replay host to refuse. Its entry must never be called. */
#include <stdlib.h>

#if defined(BAD_MAGIC)
#define MAGIC 'B', 'A', 'P', 'X'
#else
#define MAGIC 'B', 'A', 'P', 'T'
#endif

#if defined(BAD_LENGTH)
#define LENGTH 0x1c
#else
#define LENGTH 0x20
#endif

#if defined(BAD_VERSION)
#define HOST_VERSION 0x0e
#else
#define HOST_VERSION 0x0f
#endif

/* clang-format off */
const unsigned char td_plugin_abi[32] = {
    MAGIC,
    LENGTH, 0, 0, 0,
    HOST_VERSION, 0, 0, 0,
    0x09, 0x03, 0x23, 0x20,
    0x01, 0, 0, 0,
    0, 0, 0, 0,
    0x60, 0x0b, 0, 0,
    0x48, 0, 0, 0,
};
/* clang-format on */

void *tdPluginInit(void)
{
    abort();
}
