#pragma once

// pf's published request records. Wherever the compiler targets FreeBSD they come from the
// system's own header; elsewhere they are declared here with the same layout as the 64-bit
// FreeBSD interface, so that the same code drives the userspace model in libtfa-pfsim. The checks
// at the end hold both to the same sizes, offsets and request codes, so the model and the kernel
// cannot drift apart unnoticed.
//
// FreeBSD 13's pf header defines v4, v6, addr8, addr16 and addr32 as macros: code that includes
// this header keeps those names free.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __FreeBSD__

#include <net/if.h>
#include <net/pfvar.h>
#include <sys/ioctl.h>

inline constexpr size_t PFR_TSTATS_SIZE = sizeof(struct pfr_tstats);
inline constexpr size_t PFI_KIF_SIZE = sizeof(struct pfi_kif);

#else

inline constexpr size_t PF_ANCHOR_PATH_SIZE = 1024; // MAXPATHLEN
inline constexpr size_t PF_TABLE_NAME_SIZE = 32;
inline constexpr size_t PF_ANCHOR_NAME_SIZE = 64;
inline constexpr size_t PF_IFNAME_SIZE = 16;
inline constexpr size_t PF_MD5_DIGEST_LENGTH = 16;

// Rulesets a transaction element may name.
enum {
    PF_RULESET_SCRUB = 0,
    PF_RULESET_FILTER = 1,
    PF_RULESET_NAT = 2,
    PF_RULESET_BINAT = 3,
    PF_RULESET_RDR = 4,
    PF_RULESET_MAX = 5,
};
// Transaction ruleset numbers past the rule sets: queues, and the tables of an anchor.
inline constexpr int PF_RULESET_ALTQ = PF_RULESET_MAX;
inline constexpr int PF_RULESET_TABLE = PF_RULESET_MAX + 1;

// Table flags.
inline constexpr uint32_t PFR_TFLAG_PERSIST = 0x01;
inline constexpr uint32_t PFR_TFLAG_CONST = 0x02;
inline constexpr uint32_t PFR_TFLAG_ACTIVE = 0x04;
inline constexpr uint32_t PFR_TFLAG_INACTIVE = 0x08;
inline constexpr uint32_t PFR_TFLAG_REFERENCED = 0x10;
inline constexpr uint32_t PFR_TFLAG_REFDANCHOR = 0x20;
inline constexpr uint32_t PFR_TFLAG_COUNTERS = 0x40;
// Flags a caller may ask for when adding a table.
inline constexpr uint32_t PFR_TFLAG_USRMASK =
    PFR_TFLAG_PERSIST | PFR_TFLAG_CONST | PFR_TFLAG_COUNTERS;

// Request flags (`pfrio_flags`).
inline constexpr int PFR_FLAG_ATOMIC = 0x01;
inline constexpr int PFR_FLAG_DUMMY = 0x02;
inline constexpr int PFR_FLAG_FEEDBACK = 0x04;
inline constexpr int PFR_FLAG_CLSTATS = 0x08;
inline constexpr int PFR_FLAG_ADDRSTOO = 0x10;
inline constexpr int PFR_FLAG_REPLACE = 0x20;
inline constexpr int PFR_FLAG_ALLRSETS = 0x40;
inline constexpr int PFR_FLAG_ALLMASK = 0x7f;

// Per-address feedback codes (`pfra_fback`).
enum {
    PFR_FB_NONE = 0,
    PFR_FB_MATCH = 1,
    PFR_FB_ADDED = 2,
    PFR_FB_DELETED = 3,
    PFR_FB_CHANGED = 4,
    PFR_FB_CLEARED = 5,
    PFR_FB_DUPLICATE = 6,
    PFR_FB_NOTMATCH = 7,
    PFR_FB_CONFLICT = 8,
    PFR_FB_NOCOUNT = 9,
};

inline constexpr int PFR_DIR_MAX = 2;
inline constexpr int PFR_OP_ADDR_MAX = 2;

struct pfr_table {
    char pfrt_anchor[PF_ANCHOR_PATH_SIZE];
    char pfrt_name[PF_TABLE_NAME_SIZE];
    uint32_t pfrt_flags;
    uint8_t pfrt_fback;
};

struct pfr_addr {
    union {
        struct in_addr _pfra_ip4addr;
        struct in6_addr _pfra_ip6addr;
    } pfra_u;
    uint8_t pfra_af;
    uint8_t pfra_net;
    uint8_t pfra_not;
    uint8_t pfra_fback;
};
#define pfra_ip4addr pfra_u._pfra_ip4addr
#define pfra_ip6addr pfra_u._pfra_ip6addr

struct pfr_astats {
    struct pfr_addr pfras_a;
    uint64_t pfras_packets[PFR_DIR_MAX][PFR_OP_ADDR_MAX];
    uint64_t pfras_bytes[PFR_DIR_MAX][PFR_OP_ADDR_MAX];
    long pfras_tzero;
};

struct pfioc_table {
    struct pfr_table pfrio_table;
    void *pfrio_buffer;
    int pfrio_esize;
    int pfrio_size;
    int pfrio_size2;
    int pfrio_nadd;
    int pfrio_ndel;
    int pfrio_nchange;
    int pfrio_flags;
    uint32_t pfrio_ticket;
};

struct pfioc_ruleset {
    uint32_t nr;
    char path[PF_ANCHOR_PATH_SIZE];
    char name[PF_ANCHOR_NAME_SIZE];
};

struct pfioc_trans {
    int size;
    int esize;
    struct pfioc_trans_e {
        int rs_num;
        char anchor[PF_ANCHOR_PATH_SIZE];
        uint32_t ticket;
    } * array;
};

// The status record of FreeBSD 13 and 14; only `running` is read here.
inline constexpr int PFRES_MAX = 16;
inline constexpr int LCNT_MAX = 7;
inline constexpr int FCNT_MAX = 3;
inline constexpr int SCNT_MAX = 3;

struct pf_status {
    uint64_t counters[PFRES_MAX];
    uint64_t lcounters[LCNT_MAX];
    uint64_t fcounters[FCNT_MAX];
    uint64_t scounters[SCNT_MAX];
    uint64_t pcounters[2][2][3];
    uint64_t bcounters[2][2];
    uint32_t running;
    uint32_t states;
    uint32_t src_nodes;
    uint32_t since;
    uint32_t debug;
    uint32_t hostid;
    char ifname[PF_IFNAME_SIZE];
    uint8_t pf_chksum[PF_MD5_DIGEST_LENGTH];
};

inline constexpr size_t PFR_TSTATS_SIZE = 1200;
inline constexpr size_t PFI_KIF_SIZE = 216;

// _IOWR('D', n, record) as FreeBSD encodes it.
constexpr unsigned long pf_iowr(unsigned long number, size_t size)
{
    return 0xC0000000UL | ((size & 0x1fffUL) << 16) | (static_cast<unsigned long>('D') << 8) |
           number;
}

inline constexpr unsigned long DIOCGETSTATUS = pf_iowr(21, sizeof(pf_status));
inline constexpr unsigned long DIOCGETRULESETS = pf_iowr(58, sizeof(pfioc_ruleset));
inline constexpr unsigned long DIOCGETRULESET = pf_iowr(59, sizeof(pfioc_ruleset));
inline constexpr unsigned long DIOCRADDTABLES = pf_iowr(61, sizeof(pfioc_table));
inline constexpr unsigned long DIOCRDELTABLES = pf_iowr(62, sizeof(pfioc_table));
inline constexpr unsigned long DIOCRCLRADDRS = pf_iowr(66, sizeof(pfioc_table));
inline constexpr unsigned long DIOCRADDADDRS = pf_iowr(67, sizeof(pfioc_table));
inline constexpr unsigned long DIOCRDELADDRS = pf_iowr(68, sizeof(pfioc_table));
inline constexpr unsigned long DIOCRGETASTATS = pf_iowr(71, sizeof(pfioc_table));
inline constexpr unsigned long DIOCXBEGIN = pf_iowr(81, sizeof(pfioc_trans));
inline constexpr unsigned long DIOCXCOMMIT = pf_iowr(82, sizeof(pfioc_trans));

#endif

// The transaction element, under the same name on every system.
using pfioc_trans_e = pfioc_trans::pfioc_trans_e;

#if ULONG_MAX == 0xffffffffffffffffUL
static_assert(sizeof(pfr_table) == 1064, "pfr_table");
static_assert(offsetof(pfr_table, pfrt_name) == 1024, "pfr_table.pfrt_name");
static_assert(offsetof(pfr_table, pfrt_flags) == 1056, "pfr_table.pfrt_flags");
static_assert(offsetof(pfr_table, pfrt_fback) == 1060, "pfr_table.pfrt_fback");
static_assert(sizeof(pfr_addr) == 20, "pfr_addr");
static_assert(offsetof(pfr_addr, pfra_af) == 16, "pfr_addr.pfra_af");
static_assert(offsetof(pfr_addr, pfra_net) == 17, "pfr_addr.pfra_net");
static_assert(offsetof(pfr_addr, pfra_not) == 18, "pfr_addr.pfra_not");
static_assert(offsetof(pfr_addr, pfra_fback) == 19, "pfr_addr.pfra_fback");
static_assert(sizeof(pfr_astats) == 96, "pfr_astats");
static_assert(offsetof(pfr_astats, pfras_packets) == 24, "pfr_astats.pfras_packets");
static_assert(offsetof(pfr_astats, pfras_bytes) == 56, "pfr_astats.pfras_bytes");
static_assert(offsetof(pfr_astats, pfras_tzero) == 88, "pfr_astats.pfras_tzero");
static_assert(sizeof(pfioc_table) == 1104, "pfioc_table");
static_assert(offsetof(pfioc_table, pfrio_buffer) == 1064, "pfioc_table.pfrio_buffer");
static_assert(offsetof(pfioc_table, pfrio_esize) == 1072, "pfioc_table.pfrio_esize");
static_assert(offsetof(pfioc_table, pfrio_size) == 1076, "pfioc_table.pfrio_size");
static_assert(offsetof(pfioc_table, pfrio_size2) == 1080, "pfioc_table.pfrio_size2");
static_assert(offsetof(pfioc_table, pfrio_nadd) == 1084, "pfioc_table.pfrio_nadd");
static_assert(offsetof(pfioc_table, pfrio_ndel) == 1088, "pfioc_table.pfrio_ndel");
static_assert(offsetof(pfioc_table, pfrio_nchange) == 1092, "pfioc_table.pfrio_nchange");
static_assert(offsetof(pfioc_table, pfrio_flags) == 1096, "pfioc_table.pfrio_flags");
static_assert(offsetof(pfioc_table, pfrio_ticket) == 1100, "pfioc_table.pfrio_ticket");
static_assert(sizeof(pfioc_ruleset) == 1092, "pfioc_ruleset");
static_assert(offsetof(pfioc_ruleset, path) == 4, "pfioc_ruleset.path");
static_assert(offsetof(pfioc_ruleset, name) == 1028, "pfioc_ruleset.name");
static_assert(sizeof(pfioc_trans) == 16, "pfioc_trans");
static_assert(sizeof(pfioc_trans_e) == 1032, "pfioc_trans_e");
static_assert(offsetof(pfioc_trans_e, anchor) == 4, "pfioc_trans_e.anchor");
static_assert(offsetof(pfioc_trans_e, ticket) == 1028, "pfioc_trans_e.ticket");
static_assert(sizeof(pf_status) == 416, "pf_status");
static_assert(offsetof(pf_status, running) == 360, "pf_status.running");
static_assert(PF_RULESET_SCRUB == 0 && PF_RULESET_FILTER == 1 && PF_RULESET_TABLE == 6,
              "PF_RULESET_*");

#if !defined(__FreeBSD__) || defined(DIOCGETSTATUS)
static_assert(DIOCGETSTATUS == 0xC1A04415UL, "DIOCGETSTATUS");
#endif
static_assert(DIOCGETRULESETS == 0xC444443AUL, "DIOCGETRULESETS");
static_assert(DIOCGETRULESET == 0xC444443BUL, "DIOCGETRULESET");
static_assert(DIOCRADDTABLES == 0xC450443DUL, "DIOCRADDTABLES");
static_assert(DIOCRDELTABLES == 0xC450443EUL, "DIOCRDELTABLES");
static_assert(DIOCRCLRADDRS == 0xC4504442UL, "DIOCRCLRADDRS");
static_assert(DIOCRADDADDRS == 0xC4504443UL, "DIOCRADDADDRS");
static_assert(DIOCRDELADDRS == 0xC4504444UL, "DIOCRDELADDRS");
static_assert(DIOCRGETASTATS == 0xC4504447UL, "DIOCRGETASTATS");
static_assert(DIOCXBEGIN == 0xC0104451UL, "DIOCXBEGIN");
static_assert(DIOCXCOMMIT == 0xC0104452UL, "DIOCXCOMMIT");
#endif
