#pragma once

#include "targets/nft/kernel.hpp"

#include <cstdint>
#include <functional>
#include <vector>

struct mnl_socket;
struct nlmsghdr;

// tfaNftKernel over one netlink socket (libmnl), with the nftables messages built and parsed by
// libnftnl. The socket is opened by the first request, in the network namespace of the calling
// thread, and kept open; a socket that fails (rather than a request that the kernel refuses) is
// closed, and the next request opens a new one. Each change is a batch of one message whose
// answer is read before the routine returns: no process, no text to parse, a few microseconds
// per element. Not thread-safe: the target uses it from the plug-in's worker thread only.
class tfaNftNetlink : public tfaNftKernel
{
public:
    tfaNftNetlink();
    ~tfaNftNetlink() override;

    tfaNftNetlink(const tfaNftNetlink &) = delete;
    tfaNftNetlink &operator=(const tfaNftNetlink &) = delete;

    int AddTable(uint8_t family, const std::string &table, bool *created) override;
    int GetTable(uint8_t family, const std::string &table) override;
    int DelTable(uint8_t family, const std::string &table) override;
    int AddSet(uint8_t family, const std::string &table, const std::string &set,
               const nft_set_spec &spec, bool *created) override;
    int GetSet(uint8_t family, const std::string &table, const std::string &set,
               nft_set_spec *spec) override;
    int AddElement(uint8_t family, const std::string &table, const std::string &set,
                   const nft_addr &addr, uint64_t timeout_ms, bool *added) override;
    int DelElement(uint8_t family, const std::string &table, const std::string &set,
                   const nft_addr &addr) override;
    int FlushSet(uint8_t family, const std::string &table, const std::string &set) override;
    int ListElements(uint8_t family, const std::string &table, const std::string &set,
                     std::vector<nft_element> *elements) override;
    int ListSets(std::vector<nft_set_listing> *sets) override;

    // Closes the socket; the next request opens a new one.
    void Close();

private:
    // Writes the message's attributes after its header.
    using Builder = std::function<void(nlmsghdr *)>;
    // Reads one answer message; false when it cannot be parsed (the request then fails with
    // EPROTO after the rest of the answer was read).
    using Parser = std::function<bool(const nlmsghdr *)>;

    int Open();
    // Whether the set holds `addr` (and has not expired); ENOENT for an absent address, table
    // or set alike.
    int LookupElement(uint8_t family, const std::string &table, const std::string &set,
                      const nft_addr &addr, bool *present);
    // Sends one change (NEW* or DEL* message) in a batch of its own and waits for its answer.
    int Change(uint16_t type, uint8_t family, uint16_t flags, const Builder &build);
    int Create(uint16_t type, uint8_t family, const Builder &build, bool *created);
    // Sends one GET request (a dump when `dump`) and hands each answer message to `parse`.
    int Query(uint16_t type, uint8_t family, bool dump, const Builder &build, const Parser &parse);
    // Reads answers to the messages numbered `first` to `last` until the one for `done_seq` is
    // acknowledged, a dump ends, or one of them fails.
    int Receive(uint32_t first, uint32_t last, uint32_t done_seq, const Parser *parse);
    int Send(const void *data, size_t length);
    // Closes the socket after a socket fault and fails with `error`.
    int Fault(int error);

    mnl_socket *socket = nullptr;
    uint32_t portid = 0;
    uint32_t sequence = 0;
    std::vector<char> buffer;
};
