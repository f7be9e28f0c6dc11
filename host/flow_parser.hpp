#pragma once

#include "host/json.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

class tdFlow;
// A compiled flow expression: immutable, so any number of threads may evaluate it at once.
class tdFlowExpression;

// Flow parameters: named JSON values that travel with a flow event ("intel" for intel events).
using tdFlowParams = std::unordered_map<std::string, json>;

// The host's flow expression language (docs/expressions.md): comparisons of flow record fields,
// named as in the record's JSON form ("other_ip == 10.0.0.0/8", "ssl.client_sni =~ '\.example$'",
// "15 in risks", "intel.score > 50"), joined with && || ! and parentheses.
//
// One instance is used from one thread at a time; it takes no locks of its own.
class tdFlowParser
{
public:
    // No bound: every expression stays compiled until ClearCache.
    static constexpr size_t UNBOUNDED = 0;

    // Keeps every compiled expression and regular expression until ClearCache (which the
    // plug-in calls at every configuration reload), so a configuration of any size is compiled
    // once. A `cache_size` other than UNBOUNDED keeps at most that many of each, forgetting the
    // least recently used first.
    explicit tdFlowParser(size_t cache_size = UNBOUNDED);
    ~tdFlowParser();

    tdFlowParser(const tdFlowParser &) = delete;
    tdFlowParser &operator=(const tdFlowParser &) = delete;

    // True when `flow` (with `params`) satisfies `expression`, read under the flow's lock. A bad
    // expression throws its fault as a plain std::string "column N: <fault>", on every call;
    // a null flow throws std::invalid_argument. Expressions are compiled once and cached by their
    // text (faults too); evaluating a cached expression does not allocate.
    bool Parse(const std::shared_ptr<tdFlow> &flow, const tdFlowParams &params,
               const std::string &expression);

    // Drops every cached compiled expression and regular expression.
    void ClearCache();

    size_t CachedExpressions() const;
    size_t CachedRegexes() const;

private:
    friend std::shared_ptr<const tdFlowExpression>
    td_flow_expression_compile(tdFlowParser &parser, const std::string &expression);

    struct Impl;
    std::unique_ptr<Impl> impl;
};

// Agent libraries that hand out compiled expressions define the two functions below. They are
// declared weak, so a plug-in built against this header still loads against a library without
// them, where both are null: test `td_flow_expression_compile != nullptr` before calling either.

// Compiles `expression` as `parser.Parse` would, sharing the parser's regular expressions; throws
// the same faults. The caller serialises use of `parser` as for Parse. The result stays valid
// after ClearCache and after the parser is gone.
__attribute__((weak)) std::shared_ptr<const tdFlowExpression>
td_flow_expression_compile(tdFlowParser &parser, const std::string &expression);

// True when `flow` (with `params`) satisfies `expression`. The caller holds the flow's lock; the
// call takes no lock, allocates nothing and throws nothing.
__attribute__((weak)) bool td_flow_expression_evaluate(const tdFlowExpression &expression,
                                                       const tdFlow &flow,
                                                       const tdFlowParams &params);
