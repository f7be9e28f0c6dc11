#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "host/json.hpp"

class tdFlow;

// Flow parameters: named JSON values that travel with a flow event ("intel" for intel events).
using tdFlowParams = std::unordered_map<std::string, json>;

// The host's flow expression language. One instance is shared by all users on one thread.
class tdFlowParser
{
public:
    tdFlowParser();
    ~tdFlowParser();

    tdFlowParser(const tdFlowParser &) = delete;
    tdFlowParser &operator=(const tdFlowParser &) = delete;

    // True when `flow` (with `params`) satisfies `expression`. A bad expression throws its fault
    // as a plain std::string naming the column. Compiled expressions are cached by their text.
    bool Parse(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params,
               const std::string &expression);

    // Drops every cached compiled expression and regular expression.
    void ClearCache();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
