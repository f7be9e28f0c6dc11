#pragma once

// libtfa-pfsim: a userspace model of the kernel side of pf, for systems without pf.
//
// It answers the status, ruleset, table, address, statistics and transaction requests that the
// plug-in's pf routines issue, with FreeBSD's record layouts (targets/pf/pfvar.hpp) and the
// kernel's errno results: EBADF for a descriptor that is not open, EACCES for a change through a
// read-only descriptor, ENODEV for an unknown request or a wrong element size, EINVAL for bad
// names, records or flags, ESRCH for a missing table, EPERM for a constant table, ENOMEM past a
// limit, EFAULT for a missing buffer. A failed request leaves the caller's record untouched.
//
// What the model keeps: anchors (created with their parents by a table or a transaction of rules
// or tables, removed again when left without tables, children or an open transaction), tables by
// anchor and name with their flags, and per table a set of addresses with the zero time each got
// when it was first inserted. It keeps no rules, so no table is ever referenced, and no packet
// counters: statistics carry PFR_FB_NOCOUNT for a table without PFR_TFLAG_COUNTERS, and zeros.
// Where the kernel refuses an anchor path part-way, it keeps the anchors it made before the
// refusal; the model makes none.
//
// Every function is thread-safe: one mutex guards the whole model.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pfsim
{

// The kinds of request the model answers, for counting and fault injection.
enum class Request : int {
    STATUS,       // DIOCGETSTATUS
    GET_RULESETS, // DIOCGETRULESETS
    GET_RULESET,  // DIOCGETRULESET
    ADD_TABLES,   // DIOCRADDTABLES
    DEL_TABLES,   // DIOCRDELTABLES
    CLR_ADDRS,    // DIOCRCLRADDRS
    ADD_ADDRS,    // DIOCRADDADDRS
    DEL_ADDRS,    // DIOCRDELADDRS
    GET_ASTATS,   // DIOCRGETASTATS
    XBEGIN,       // DIOCXBEGIN
    XCOMMIT,      // DIOCXCOMMIT
};
inline constexpr int REQUEST_KINDS = 11;

struct Address {
    // "192.0.2.1", "2001:db8::1"; a network adds its prefix ("10.0.0.0/8"), a negated entry
    // starts with "!".
    std::string address;
    // Model clock seconds when the address was first inserted.
    int64_t tzero = 0;
};

struct Table {
    std::string anchor; // "" for the main ruleset
    std::string name;
    uint32_t flags = 0;             // PFR_TFLAG_* bits, ACTIVE included
    std::vector<Address> addresses; // IPv4 first, then IPv6, each in ascending order
};

// The device side, which sim/pf/pf_device.cpp lends to the pf routines' seam
// (targets/pf/pf_device.hpp). Each behaves like its system call: -1 with errno set on failure.
// Open fails with ENOENT for a path that is not registered; a descriptor opened with O_RDONLY may
// only read.
int Open(const char *path, int flags);
int Ioctl(int fd, unsigned long request, void *arg);
int Close(int fd);

// Makes `path` openable (the replay host registers "/dev/pf").
void RegisterDevice(const std::string &path);

// The model's wall clock, which stamps zero times and which the pf routines compare them with.
// It follows the real wall clock until SetClock fixes it; UseWallClock returns to the real one.
void SetClock(int64_t seconds);
void UseWallClock();
int64_t Now();

// Whether pf is enabled, as the status request reports it. Off after Reset.
void SetRunning(bool running);

// The next request of `kind` fails with `error` (0 cancels), leaving everything untouched. It
// still counts as a request.
void FailNext(Request kind, int error);
// Requests of `kind` that reached the model on an open descriptor since the last Reset.
uint64_t Requests(Request kind);

// Every table, ordered by anchor and name.
std::vector<Table> ListTables();
// Every anchor path, in tree order; the main ruleset is not listed.
std::vector<std::string> ListAnchors();
// Descriptors currently open.
size_t OpenDescriptors();

// Table entries allowed across all tables together (200000 after Reset); an add that would go
// past it fails whole with ENOMEM.
void SetEntryLimit(size_t entries);

// Forgets everything: devices, descriptors (later requests on them fail with EBADF), anchors,
// tables, counts, pending faults, the clock setting, the running state and the entry limit.
void Reset();

} // namespace pfsim
