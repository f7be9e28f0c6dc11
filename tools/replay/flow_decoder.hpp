#pragma once

#include "host/flow.hpp"
#include "host/json.hpp"

#include <cstdint>
#include <simdjson.h>

// Turns the flow record JSON of a sink payload (the "flow" member) back into a host flow record,
// so that recorded flows can be replayed through the plug-in.
//
// Decoding is the inverse of tdFlow::Encode for every member the encoder writes: encoding the
// decoded record again, with all three encode parts and the host's cache options on, gives the
// same JSON value. To make that hold:
//
// - The local endpoint becomes the lower one (lower map 1): local_* members fill lower_*,
//   other_* members fill upper_*. "local_origin" false means the upper endpoint opened the flow.
// - Values the encoder does not write are inferred: an "ssl" group on a flow that is not QUIC
//   makes the master protocol TLS (91); "ssdp"."user_agent" on a flow whose detected protocol is
//   not SSDP makes the master protocol SSDP (12); a "gtp" group makes the tunnel type GTP.
// - "Unknown" as a detected protocol or application name, and "00:00:00:00:00:00" as a MAC
//   address, are the encoder's words for "not set" and decode as such.
//
// Privacy placeholders (127.255.0.253, 00:52:14:00:00:00 ...) cannot be told from real
// addresses: they decode as the addresses they spell, so the record carries the placeholder
// where the host had the real address.
//
// Every member may be omitted; it then keeps the record's default (zero, empty, unset).
class tfaFlowDecoder
{
public:
    // Fills `flow`, a default record, from `object`. Throws tdException naming the member at
    // fault ("flow.ssl.version: ...") for a member of the wrong type, a value out of range, an
    // unknown member, or members that contradict each other. The flow's digest stays 0 when the
    // object has neither "digest" nor "digest_prev".
    static void Decode(simdjson::dom::element object, tdFlow &flow);
    // The same for a record held as the plug-in's JSON type (tests, hand-made records).
    static void Decode(const json &object, tdFlow &flow);

    // A digest for a flow recorded without one, from its IP protocol, addresses and ports, so
    // that lines of one connection meet in the flow map. Never 0.
    static uint64_t TupleDigest(const tdFlow &flow);
};
