#pragma once

#include "agent/expression/flow_expression_value.hpp"
#include "host/flow_parser.hpp"

#include <string>
#include <string_view>
#include <vector>

// A named item of the flow record that expressions can read. Names are the keys of the flow
// record's JSON form, nested keys joined with ".", and endpoints seen from the local network
// ("local_ip", "other_port"), so an operator uses the vocabulary of the sink output. Values are
// the real ones: privacy masks do not apply.
class tdFlowExpressionField
{
public:
    // What a read needs: the record (locked by the caller) and the event's flow parameters.
    // Values that must be rendered (digests, hashes) go into a text of the reading thread.
    struct Context {
        const tdFlow &flow;
        const tdFlowParams &params;
    };

    using Reader = tdFlowExpressionValue (*)(const Context &context);

    // Null when no field has this name.
    static const tdFlowExpressionField *Find(std::string_view name);
    // Every field's name, in table order.
    static std::vector<std::string_view> Names();

    const char *name;
    // The type of the value, or of each element for a set field.
    tdFlowExpressionValue::Type type;
    bool set;
    Reader read;
};
