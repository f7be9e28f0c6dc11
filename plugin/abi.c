/* The record the host checks before it uses the library: magic, record length, host interface
 * version, plug-in API date stamp and four host compatibility values, little-endian. */
#define LE32(v) (unsigned char)((v)&0xff), (unsigned char)(((v) >> 8) & 0xff), \
                (unsigned char)(((v) >> 16) & 0xff), (unsigned char)(((v) >> 24) & 0xff)

__attribute__((visibility("default"))) const unsigned char td_plugin_abi[32] = {
    'B', 'A', 'P', 'T',
    LE32(32),
    LE32(15),
    LE32(0x20230309),
    LE32(1),
    LE32(0),
    LE32(2912),
    LE32(72),
};
