#pragma once

#include "host/flow_parser.hpp"

#include <cstdint>
#include <mutex>
#include <string>

class tfaTarget;

// What actions, criteria and exemptions need from the plug-in that loads them. The plug-in
// implements it; tests may supply their own.
class tfaRulesContext
{
public:
    virtual ~tfaRulesContext() = default;

    // The target registered under `name`, or null.
    virtual tfaTarget *FindTarget(const std::string &name) const = 0;
    // The time value that actions judge their time windows by.
    virtual int64_t GetNow() const = 0;
    // Takes a load-time fault that does not stop the load (an unknown name, an expression that
    // does not compile); the text begins with its owner's name. Writes it by default.
    virtual void Report(const std::string &text) const;

    // The one flow expression parser every criteria and exemption evaluates with; set by the
    // plug-in before anything is loaded. The parser takes no locks and its caches change on
    // every use, while each plug-in instance runs a worker of its own: hold parser_lock.
    static tdFlowParser *parser;
    static std::mutex parser_lock;
};
