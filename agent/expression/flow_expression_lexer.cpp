#include "agent/expression/flow_expression_lexer.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace
{
using Lexer = tdFlowExpressionLexer;
using Prefix = tdFlowExpressionValue::Prefix;
using Number = tdFlowExpressionValue::Number;

struct Keyword {
    const char *word;
    Lexer::Kind kind;
};

const Keyword KEYWORDS[] = {
    {"and", Lexer::K_AND}, {"or", Lexer::K_OR},     {"not", Lexer::K_NOT},     {"in", Lexer::K_IN},
    {"has", Lexer::K_HAS}, {"true", Lexer::K_TRUE}, {"false", Lexer::K_FALSE},
};

constexpr size_t HEX_ESCAPE_DIGITS = 2;

// ASCII only, whatever the locale says.
bool IsAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsSpace(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Names, numbers and addresses are read as one run of these before they are told apart.
bool IsWordChar(char c)
{
    return IsAlpha(c) || IsDigit(c) || c == '.' || c == ':' || c == '-';
}

bool IsUtf8Continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xc0) == 0x80;
}

bool EqualsIgnoringCase(std::string_view a, const char *b)
{
    size_t i = 0;
    for (; i < a.size() && b[i]; i++)
        if (tolower(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    return i == a.size() && !b[i];
}

// Bytes of the character starting `text` when it is printable ASCII or well-formed UTF-8, else 0.
size_t PrintableLength(std::string_view text)
{
    unsigned char lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80)
        return isprint(lead) ? 1 : 0;
    size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                    : lead >= 0xe0 && lead <= 0xef ? 3
                    : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                   : 0;
    if (length == 0 || length > text.size())
        return 0;
    // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
    unsigned char second = static_cast<unsigned char>(text[1]);
    unsigned char low = lead == 0xe0 ? 0xa0 : lead == 0xf0 ? 0x90 : 0x80;
    unsigned char high = lead == 0xed ? 0x9f : lead == 0xf4 ? 0x8f : 0xbf;
    if (second < low || second > high)
        return 0;
    for (size_t i = 2; i < length; i++)
        if (!IsUtf8Continuation(text[i]))
            return 0;
    return length;
}

// Faults end up in log lines and JSON documents: control characters and bytes that are not
// UTF-8 are written as \xHH.
std::string Printable(std::string_view text)
{
    std::string printable;
    for (size_t i = 0; i < text.size();) {
        size_t length = PrintableLength(text.substr(i));
        if (length) {
            printable.append(text.substr(i, length));
            i += length;
            continue;
        }
        char escaped[8];
        snprintf(escaped, sizeof(escaped), "\\x%02x", static_cast<unsigned char>(text[i++]));
        printable += escaped;
    }
    return printable;
}

int HexDigit(char c)
{
    if (IsDigit(c))
        return c - '0';
    if (isxdigit(static_cast<unsigned char>(c)))
        return tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    return -1;
}
} // namespace

Lexer::tdFlowExpressionLexer(std::string_view expression) : text(expression)
{
}

const Lexer::Token &Lexer::Peek()
{
    if (!peeked)
        Lex();
    peeked = true;
    return token;
}

Lexer::Token Lexer::Take()
{
    Peek();
    peeked = false;
    return std::move(token);
}

std::string Lexer::Fault(size_t offset, const std::string &what) const
{
    size_t column = 1;
    for (size_t i = 0; i < offset && i < text.size(); i++)
        column += !IsUtf8Continuation(text[i]);
    return "column " + std::to_string(column) + ": " + Printable(what);
}

std::string Lexer::Describe(const Token &token)
{
    return token.kind == K_END ? "end of expression" : std::string(token.source);
}

void Lexer::Lex()
{
    while (pos < text.size() && IsSpace(text[pos]))
        pos++;
    token = Token();
    token.offset = pos;
    if (pos == text.size())
        return;

    char c = text[pos];
    bool negative_number = c == '-' && pos + 1 < text.size() && IsDigit(text[pos + 1]);
    if (c == '"' || c == '\'')
        LexString();
    else if (IsAlpha(c) || IsDigit(c) || c == ':' || negative_number)
        LexWord();
    else
        LexOperator();
    token.source = text.substr(token.offset, pos - token.offset);
}

bool Lexer::Next(char c)
{
    if (pos < text.size() && text[pos] == c) {
        pos++;
        return true;
    }
    return false;
}

void Lexer::LexOperator()
{
    size_t start = pos;
    switch (text[pos++]) {
    case '(':
        token.kind = K_OPEN;
        return;
    case ')':
        token.kind = K_CLOSE;
        return;
    case '[':
        token.kind = K_OPEN_LIST;
        return;
    case ']':
        token.kind = K_CLOSE_LIST;
        return;
    case ',':
        token.kind = K_COMMA;
        return;
    case '&':
        if (Next('&')) {
            token.kind = K_AND;
            return;
        }
        break;
    case '|':
        if (Next('|')) {
            token.kind = K_OR;
            return;
        }
        break;
    case '!':
        token.kind = Next('=') ? K_NOT_EQUAL : Next('~') ? K_NOT_MATCH : K_NOT;
        return;
    case '=':
        if (Next('=')) {
            token.kind = K_EQUAL;
            return;
        }
        if (Next('~')) {
            token.kind = K_MATCH;
            return;
        }
        break;
    case '<':
        token.kind = Next('=') ? K_LESS_EQUAL : K_LESS;
        return;
    case '>':
        token.kind = Next('=') ? K_GREATER_EQUAL : K_GREATER;
        return;
    default:
        break;
    }
    Unexpected(start);
}

void Lexer::Unexpected(size_t offset) const
{
    size_t length = std::max<size_t>(PrintableLength(text.substr(offset)), 1);
    throw Fault(offset, "unexpected character: '" + std::string(text.substr(offset, length)) + "'");
}

// Quoted with ' or ". \\ \' \" \n \r \t and \xHH are decoded; any other backslash is kept with
// the character after it, so regular expressions keep their escapes ("\d+", "\.").
void Lexer::LexString()
{
    char quote = text[pos++];
    token.kind = K_STRING;
    for (;;) {
        if (pos >= text.size())
            throw Fault(token.offset, "unterminated string");
        char c = text[pos++];
        if (c == quote)
            return;
        if (c != '\\') {
            token.text += c;
            continue;
        }
        if (pos >= text.size())
            throw Fault(token.offset, "unterminated string");
        char escaped = text[pos++];
        switch (escaped) {
        case 'n':
            token.text += '\n';
            break;
        case 'r':
            token.text += '\r';
            break;
        case 't':
            token.text += '\t';
            break;
        case '\\':
        case '\'':
        case '"':
            token.text += escaped;
            break;
        case 'x': {
            std::string_view digits = text.substr(pos, HEX_ESCAPE_DIGITS);
            if (digits.size() < HEX_ESCAPE_DIGITS || HexDigit(digits[0]) < 0 ||
                HexDigit(digits[1]) < 0)
                throw Fault(pos - 2, "invalid escape: \\x" + std::string(digits));
            token.text += static_cast<char>(HexDigit(digits[0]) * 16 + HexDigit(digits[1]));
            pos += HEX_ESCAPE_DIGITS;
            break;
        }
        default:
            token.text += '\\';
            token.text += escaped;
            break;
        }
    }
}

void Lexer::LexWord()
{
    size_t start = pos++;
    while (pos < text.size() && IsWordChar(text[pos]))
        pos++;
    std::string_view word = text.substr(start, pos - start);

    if (Prefix::Parse(word, token.prefix)) {
        token.kind = token.prefix.family == Prefix::F_MAC ? K_MAC : K_ADDRESS;
        LexPrefixLength();
    } else if (IsAlpha(word[0]))
        LexName(word);
    else
        LexNumber(word);
}

// A name ends before any ":" (which belongs to no name), so "ai:x" fails at the colon.
void Lexer::LexName(std::string_view word)
{
    word = word.substr(0, word.find(':'));
    pos = token.offset + word.size();
    token.kind = K_NAME;
    if (word.find('.') != std::string_view::npos)
        return;
    for (const Keyword &keyword : KEYWORDS)
        if (EqualsIgnoringCase(word, keyword.word))
            token.kind = keyword.kind;
}

void Lexer::LexNumber(std::string_view word)
{
    token.kind = K_NUMBER;
    switch (Number::Parse(word, token.number)) {
    case Number::P_OK:
        return;
    case Number::P_RANGE:
        throw Fault(token.offset, "number out of range: " + std::string(word));
    case Number::P_INVALID:
        break;
    }
    bool address_like =
        word.find(':') != std::string_view::npos || word.find('.') != word.rfind('.');
    throw Fault(token.offset,
                (address_like ? "invalid address: " : "invalid number: ") + std::string(word));
}

// A network: the address just read followed by "/length".
void Lexer::LexPrefixLength()
{
    if (!Next('/'))
        return;
    while (pos < text.size() && IsWordChar(text[pos]))
        pos++;
    std::string_view network = text.substr(token.offset, pos - token.offset);
    if (!Prefix::ParseNetwork(network, token.prefix))
        throw Fault(token.offset, "invalid prefix length: " + std::string(network));
}
