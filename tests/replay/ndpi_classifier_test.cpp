// nDPI's protocol names onto the host's protocol table.
#include "tools/replay/ndpi_classifier.hpp"

#include <gtest/gtest.h>

namespace
{
TEST(NdpiClassifier, MapsProtocolNamesOntoTheTable)
{
    struct Row {
        const char *name;
        uint32_t id;
    };
    const Row rows[] = {
        {"TLS", 91},    {"tls", 91},           {"DNS", 5}, {"SSH", 92}, {"HTTP", 7}, {"QUIC", 188},
        {"Unknown", 0}, {"NoSuchProtocol", 0}, {"", 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(tfaNdpiClassifier::ProtocolId(row.name), row.id);
    }
}
} // namespace
