#pragma once

#include "agent/expression/flow_expression_value.hpp"

#include <cstddef>
#include <string>
#include <string_view>
// Used inside the agent library only: hidden, so its calls bind directly, not through the PLT.
#pragma GCC visibility push(hidden)

// Splits a flow expression into tokens, one look-ahead token at a time, so the first fault found
// is the leftmost one. Faults are thrown as plain strings "column N: <fault>", N counting
// characters (not bytes) from 1.
class tdFlowExpressionLexer
{
public:
    enum Kind : uint8_t {
        K_END,
        K_OPEN,
        K_CLOSE,
        K_OPEN_LIST,
        K_CLOSE_LIST,
        K_COMMA,
        K_AND,
        K_OR,
        K_NOT,
        K_EQUAL,
        K_NOT_EQUAL,
        K_LESS,
        K_LESS_EQUAL,
        K_GREATER,
        K_GREATER_EQUAL,
        K_MATCH,
        K_NOT_MATCH,
        K_IN,
        K_HAS,
        K_TRUE,
        K_FALSE,
        K_NAME,
        K_STRING,
        K_NUMBER,
        K_ADDRESS, // an IPv4 or IPv6 address or network
        K_MAC,     // a MAC address or prefix
    };

    struct Token {
        Kind kind = K_END;
        size_t offset = 0;
        std::string_view source; // as written
        std::string text;        // a string's text, escapes decoded
        tdFlowExpressionValue::Number number;
        tdFlowExpressionValue::Prefix prefix;
    };

    explicit tdFlowExpressionLexer(std::string_view expression);

    const Token &Peek();
    Token Take();

    // "column N: <what>" for the character at byte `offset`.
    std::string Fault(size_t offset, const std::string &what) const;
    // How a token is named in a fault: its text as written, or "end of expression".
    static std::string Describe(const Token &token);

private:
    void Lex();
    void LexOperator();
    void LexString();
    void LexWord();
    void LexName(std::string_view word);
    void LexNumber(std::string_view word);
    void LexPrefixLength();
    [[noreturn]] void Unexpected(size_t offset) const;
    bool Next(char c);

    std::string_view text;
    size_t pos = 0;
    bool peeked = false;
    Token token;
};

#pragma GCC visibility pop
