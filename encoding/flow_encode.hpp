#pragma once

#include "host/flow.hpp"
#include "host/json.hpp"

// The plug-in carries the one instance of tdFlow::Encode, for its JSON type. Encode holds the
// record's lock for the whole call and writes into `j` (a null value becomes an object):
// "digest", "digest_prev" and "last_seen_at" always, then the groups the flags select.
// Endpoint keys are named from the local network's side (local_..., other_...). With
// ENCODE_METADATA it reads the host's global configuration, and throws tdException
// "tdGlobalConfig: instance not found" before writing anything when there is none.
extern template void tdFlow::Encode<json>(json &j, const tdFlowStats &stats,
                                          tdFlags<tdFlow::EncodeFlags> flags) const;
