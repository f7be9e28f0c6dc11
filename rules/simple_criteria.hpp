#pragma once

#include <optional>
#include <string>

// A flow expression of the one-comparison shape that long lists are made of: a field, "==" or
// "=~", and a literal ("other_ip == 192.0.2.0/24", "other_port == 443",
// "host_server_name == 'example.com'", "host_server_name =~ '\.example\.com$'"). The literal is
// given as written, quotes removed; escapes stay as the pattern's own. Anything else is left to
// the flow expression parser.
struct tfaSimpleCriteria {
    enum Field {
        LOCAL_IP,
        OTHER_IP,
        LOCAL_PORT,
        OTHER_PORT,
        DETECTED_PROTOCOL,
        DETECTED_APPLICATION,
        HOST_SERVER_NAME,
        DNS_HOST_NAME,
    };
    enum Operator { EQUALS, MATCHES };

    // The comparison `text` reads as, or nothing when it has any other shape, a field not listed
    // above, or a quoted literal with an escape that decodes to something else than written.
    static std::optional<tfaSimpleCriteria> Parse(const std::string &text);

    Field field;
    Operator op;
    std::string literal;
    bool quoted;
};
